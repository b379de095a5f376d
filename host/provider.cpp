#include "host/provider.h"

Provider::~Provider() = default;
VNQSPDeviceProvider::~VNQSPDeviceProvider() = default;
