#pragma once
// The four device factories the plug-in hands the host.
#include "host/provider.h"

class tvr27pkProvider : public VNQSPDeviceProvider {
public:
    ~tvr27pkProvider() override;
    VNQSPDevice* create() const override;
};

class tvr27pkACProvider : public VNQSPDeviceProvider {
public:
    ~tvr27pkACProvider() override;
    VNQSPDevice* create() const override;
};

class tvr27pkDCProvider : public VNQSPDeviceProvider {
public:
    ~tvr27pkDCProvider() override;
    VNQSPDevice* create() const override;
};

class tvr27pkRCProvider : public VNQSPDeviceProvider {
public:
    ~tvr27pkRCProvider() override;
    VNQSPDevice* create() const override;
};
