#pragma once
// Root of every device the host drives. Its virtual operations occupy the
// first eight slots of every device's virtual table; the destructor is not
// virtual here (VNQVDevice declares the virtual one).
#include <cstdint>
#include <stdexcept>
#include <string>

class VDeviceInterface {
public:
    VDeviceInterface() = default;
    VDeviceInterface(const VDeviceInterface&) = delete;
    VDeviceInterface& operator=(const VDeviceInterface&) = delete;

    // 1
    virtual float Get_Value(std::uint32_t /*id*/, const std::string& /*name*/) const {
        throw std::out_of_range("数据未就绪");
    }
    // 2
    virtual bool LoadFromCache(const std::string& bytes) {
        return LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()),
                             static_cast<int>(bytes.size()));
    }
    // 3
    virtual bool LoadFromCache(const unsigned char* data, int length) = 0;
    // 4
    virtual std::uint32_t DataId() const { return dataId_; }
    // 5
    virtual const std::string& DeviceType() const { return deviceType_; }
    // 6
    virtual int DeviceIoControl(int /*code*/, void* /*in*/, int /*inLen*/, void* /*out*/,
                                int /*outLen*/, int& /*written*/) {
        return -2;
    }
    // 7
    virtual void RoundDone() {}
    // 8
    virtual bool UseControllerDb() { return useControllerDb_; }

protected:
    ~VDeviceInterface() = default;

    std::uint32_t dataId_ = 0;
    std::string deviceType_;
    bool useControllerDb_ = false;
};
