#pragma once
// A small bus device for the runtime tests: a round is 41_41 (value of the
// rectifier-like child) then 42_41 with the command-group byte (value of
// the DC-like child); each child publishes a 4-byte snapshot, reports one
// rule ("HIGH" while its value is above 54) and hands over a work item.
#include "host/pmbus_protocol.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/value.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace rttest {

class FakeChild : public VNQSPDevice {
public:
    explicit FakeChild(const std::string& type) { deviceType_ = type; }
    bool LoadFromCache(const unsigned char* data, int length) override {
        if (length != 4) return false;
        std::memcpy(&value_, data, 4);
        dataValid_ = 1;
        ++restores;
        return true;
    }
    float Get_Value(std::uint32_t, const std::string& name) const override {
        if (!dataValid_) throw std::out_of_range("数据未就绪");
        if (name != "v") throw std::out_of_range("no such signal");
        return value_;
    }
    void RoundDone() override {
        dataValid_ = 1;
        lastUpdate_ = boost::posix_time::second_clock::local_time();
        unsigned char image[4];
        std::memcpy(image, &value_, 4);
        SendSP(TypeNumber(), image, 4, false);
        CheckThresholdBool(2, "HIGH", "01001", "high", "value above 54", value_ > 54.0f, 1);
        auto self = shared_from_this();
        auto rules = std::move(pendingRules_);
        pendingRules_.clear();
        std::vector<unsigned char> copy(image, image + 4);
        CheckThresholdWork([self, rules, copy] {
            self->DoBatchCheckThreshold(rules);
            self->SaveDeviceHistory(copy.data(), static_cast<unsigned>(copy.size()));
        });
    }
    int TypeNumber() const { return deviceType_ == "fake-dc" ? 5108 : 5107; }
    void Set(float v) { value_ = v; }
    float Value() const { return value_; }
    int restores = 0;

private:
    float value_ = 0;
};

class FakeBus : public PMBusProtocol {
public:
    FakeBus() { deviceType_ = "fake"; }
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    bool InitSetting(const Json::Value& config) override {
        if (!PMBusProtocol::InitSetting(config)) return false;
        rc = std::make_shared<FakeChild>("fake-rc");
        dc = std::make_shared<FakeChild>("fake-dc");
        rc->InitV(this, dataId_, config);
        dc->InitV(this, 201, config);
        return true;
    }
    std::vector<std::shared_ptr<VNQVDevice>> GetAllChildVDevices() override { return {rc, dc}; }
    bool RefreshStatus() override {
        if (!VNQSPDevice::RefreshStatus()) return false;
        if (commandStep_ == 0) write_pmbus_cmd(0x41, 0x41);
        else write_pmbus_cmd(0x42, 0x41, &kGroup, 1);
        return true;
    }
    int process_payload() override {
        const unsigned n = (response_[4] | response_[5] << 8) >> 1;
        validSeen.push_back(dataValid_);
        float v = 0;
        if (n >= 4) std::memcpy(&v, response_ + 6, 4);
        if (commandStep_ == 0) {
            if (response_[2] != 0x41) {
                Reset();
                return 0;
            }
            rc->Set(v);
            commandStep_ = 1;
            write_pmbus_cmd(0x42, 0x41, &kGroup, 1);
            return 1;
        }
        if (response_[2] != 0x42) return 1;
        dc->Set(v);
        rc->RoundDone();
        dc->RoundDone();
        commandStep_ = 0;
        Reset();
        return 0;
    }
    std::shared_ptr<FakeChild> rc, dc;
    std::vector<std::uint8_t> validSeen;  // data-valid at each answer

private:
    static constexpr std::uint8_t kGroup = 0xFF;
};

}  // namespace rttest
