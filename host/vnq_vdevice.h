#pragma once
// The host's virtual device: threshold rules, snapshots, history and the
// controller link shared by every device. Member order and virtual slot
// order are those of the closed host.
#include "host/device_interface.h"
#include "host/rule_value.h"
#include "host/vnq_controller.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <json/value.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class VNQVDevice : public VDeviceInterface, public std::enable_shared_from_this<VNQVDevice> {
public:
    struct BAOSetting {
        std::string name;
        float value = 0.0f;
    };
    struct pi_alert_ {
        std::string key;
        bool active = false;
    };

    VNQVDevice();
    // 9
    virtual ~VNQVDevice();
    // 10
    virtual void Reset() = 0;
    // 11: binds a child to its parent's controller and gives it its id.
    virtual bool InitV(VNQVDevice* parent, std::uint32_t id, const Json::Value& config);
    // 12: the host gives a top-level device its controller and id.
    virtual bool Init(std::weak_ptr<VNQController> controller, std::uint32_t id,
                      const Json::Value& config) = 0;
    // 13
    virtual bool InitSetting(const Json::Value& config);
    // 14
    virtual bool IsSupportDevice(const std::string& type) const;
    // 15
    virtual std::shared_ptr<VNQVDevice> GetChildVDevice(std::uint32_t /*id*/) { return {}; }
    // 16
    virtual std::vector<std::shared_ptr<VNQVDevice>> GetAllChildVDevices() { return {}; }
    // 17
    virtual void SendSP(int typeNumber, const unsigned char* data, unsigned length, bool flag);
    // 18
    virtual void SendDelayData(int delay);
    // 19
    virtual void SendDoData(int channel, char value);
    // 20
    virtual int ReadDi(int channel);
    // 21
    virtual float ReadAi(int channel);
    // 22
    virtual float Get_SP_Value(std::uint32_t id, const std::string& name);

    // Logging: forwarded to the controller while it exists, else dropped.
    template <typename... Args>
    void InfoLog(const char* fmt, const Args&... args) {
        if (controller_.use_count() == 0) return;
        std::shared_ptr<VNQController> c = controller_.lock();
        if (!c) return;
        c->InfoLog(fmt, args...);
    }

    // Threshold machinery.
    void CheckThresholdBool(int level, const std::string& key, const std::string& alarmId,
                            const std::string& name, const std::string& text, bool active,
                            std::uint16_t seq);
    void CheckThresholdWork(std::function<void()> work);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
    void SaveDeviceHistory(const unsigned char* data, unsigned length);

    // Host-side access to the state the host keeps for every device.
    std::uint8_t DataValid() const { return dataValid_; }
    void SetDataValid(std::uint8_t v) { dataValid_ = v; }
    const boost::posix_time::ptime& LastUpdate() const { return lastUpdate_; }
    void SetLastUpdate(const boost::posix_time::ptime& t) { lastUpdate_ = t; }
    std::uint8_t ThresholdResult() const { return thresholdResult_; }
    const std::vector<rule_value>& PendingRules() const { return pendingRules_; }
    std::shared_ptr<VNQController> Controller() const { return controller_.lock(); }

protected:
    std::map<std::string, BAOSetting> baoSettings_;                // 1
    std::uint16_t alarmSeq_ = 0;                                   // 2
    boost::posix_time::ptime lastUpdate_;                          // 3
    std::uint8_t dataValid_ = 0;                                   // 4
    std::vector<rule_value> pendingRules_;                         // 5
    std::vector<boost::shared_ptr<pi_alert_>> alerts_;             // 6
    boost::mutex alertMutex_;                                      // 7
    std::map<std::string, bool> alertFlags_;                       // 8
    std::weak_ptr<VNQController> controller_;                      // 9
    std::uint8_t thresholdResult_ = 0;                             // 10
    std::map<std::string, float> aiValues_;                        // 11
    std::vector<std::string> aiNames_;
    std::map<std::string, float> spValues_;
    std::vector<std::string> diNames_;
    std::vector<std::string> doNames_;
    std::vector<std::string> spNames_;
    std::map<std::string, int> diValues_;
    std::map<std::string, float> limits_;
};
