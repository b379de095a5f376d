#pragma once
// Loads the plug-in the way the closed host does: dlopen, dlsym of
// "get_providers", the first provider creates the bus device.
#include "host/pmbus_protocol.h"
#include "host/provider.h"

#include <memory>
#include <string>
#include <vector>

namespace monitor {

class Plugin {
public:
    // Throws std::runtime_error with dlerror's text.
    explicit Plugin(const std::string& path);
    // Unloads the library; every object it made must be gone by then.
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    const std::vector<std::shared_ptr<Provider>>& Providers() const { return providers_; }
    // A new bus device from the first provider; throws std::runtime_error
    // when there is none or it does not make a bus-level device.
    std::shared_ptr<PMBusProtocol> CreateBus() const;
    // Drops the providers (before unloading).
    void Release() { providers_.clear(); }

private:
    void* handle_ = nullptr;
    std::vector<std::shared_ptr<Provider>> providers_;
};

}  // namespace monitor
