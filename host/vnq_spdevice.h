#pragma once
// A device on a serial port: the host's refresh cycle and port handling.
#include "host/vnq_vdevice.h"

#include <boost/thread/mutex.hpp>
#include <boost/thread/shared_mutex.hpp>

#include <cstdint>

enum EnumParity { PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2, PARITY_MARK = 3, PARITY_SPACE = 4 };

class VNQSPDevice : public VNQVDevice {
public:
    VNQSPDevice();
    ~VNQSPDevice() override;

    void Reset() override;
    bool Init(std::weak_ptr<VNQController> controller, std::uint32_t id,
              const Json::Value& config) override;

    // 23: false when the line cannot take a request now.
    virtual bool RefreshStatus();
    // 24: received bytes.
    virtual int process(const unsigned char* data, unsigned length);
    // 25
    virtual bool IsProcessing();
    // 26
    virtual bool IsStalled();
    // 27
    virtual int SendData(const unsigned char* data, unsigned length);
    // 28
    virtual int SendParityData(const unsigned char* data, unsigned length, EnumParity parity);
    // 29
    virtual bool OpenPort();
    // 30
    virtual void ClosePort();

    // Host-side access.
    std::uint32_t RefreshWord() const { return refresh_; }
    std::uint32_t Baud() const { return baud_; }
    std::uint8_t PortOption() const { return portOption_; }
    const unsigned char* ResponseBuffer() const { return response_; }

protected:
    std::uint32_t refresh_ = 0;            // refresh word: 1 while a refresh is wanted
    std::uint8_t portOption_ = 0;          // port option byte
    boost::mutex portMutex_;
    boost::shared_mutex stateMutex_;
    std::uint32_t baud_ = 9600;            // serial speed
    const unsigned char* response_ = nullptr;  // last decoded reply
};
