#include "plugin/providers.h"

#include "ac/ac_models.h"
#include "bus/bus_models.h"
#include "dc/dc_models.h"
#include "rc/rc_models.h"

// Each create hands out a new, unconfigured device; a throwing constructor
// frees the object's memory and the exception reaches the caller.
tvr27pkProvider::~tvr27pkProvider() = default;
VNQSPDevice* tvr27pkProvider::create() const { return new tvr27pk(); }

tvr27pkACProvider::~tvr27pkACProvider() = default;
VNQSPDevice* tvr27pkACProvider::create() const { return new tvr27pkAC(); }

tvr27pkDCProvider::~tvr27pkDCProvider() = default;
VNQSPDevice* tvr27pkDCProvider::create() const { return new tvr27pkDC(); }

tvr27pkRCProvider::~tvr27pkRCProvider() = default;
VNQSPDevice* tvr27pkRCProvider::create() const { return new tvr27pkRC(); }
