#pragma once
// Factories through which the host creates device objects.

class VNQSPDevice;

class Provider {
public:
    virtual ~Provider();
};

class VNQSPDeviceProvider : public Provider {
public:
    ~VNQSPDeviceProvider() override;
    // A new, unconfigured device; the caller owns it.
    virtual VNQSPDevice* create() const = 0;
};
