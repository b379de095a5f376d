#include "tools/monitor/plugin_loader.h"

#include "host/vnq_spdevice.h"

#include <dlfcn.h>

#include <cstring>
#include <stdexcept>

namespace monitor {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

Plugin::Plugin(const std::string& path) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* e = ::dlerror();
        throw std::runtime_error("cannot load plug-in " + path + ": " + (e ? e : "unknown error"));
    }
    ::dlerror();
    void* sym = ::dlsym(handle_, "get_providers");
    const char* e = ::dlerror();
    if (e || !sym) {
        const std::string msg = "plug-in " + path + " has no get_providers: " + (e ? e : "null symbol");
        ::dlclose(handle_);
        throw std::runtime_error(msg);
    }
    GetProviders get = nullptr;
    static_assert(sizeof(get) == sizeof(sym), "function and object pointers differ in size");
    std::memcpy(&get, &sym, sizeof get);
    providers_ = get();
}

Plugin::~Plugin() {
    providers_.clear();
    if (handle_) ::dlclose(handle_);
}

std::shared_ptr<PMBusProtocol> Plugin::CreateBus() const {
    if (providers_.empty() || !providers_.front()) throw std::runtime_error("the plug-in returned no provider");
    auto* factory = dynamic_cast<VNQSPDeviceProvider*>(providers_.front().get());
    if (!factory) throw std::runtime_error("the first provider is not a device provider");
    std::shared_ptr<VNQSPDevice> dev(factory->create());
    auto bus = std::dynamic_pointer_cast<PMBusProtocol>(dev);
    if (!bus) throw std::runtime_error("the first provider's device is not a bus device");
    return bus;
}

}  // namespace monitor
