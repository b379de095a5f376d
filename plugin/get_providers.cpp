#include "plugin/get_providers.h"

#include "plugin/providers.h"

// A new set on every call, in the order the host expects: bus device, AC,
// DC, rectifiers. A failure part-way releases the providers already made.
std::vector<std::shared_ptr<Provider>> get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    providers.reserve(4);
    providers.push_back(std::make_shared<tvr27pkProvider>());
    providers.push_back(std::make_shared<tvr27pkACProvider>());
    providers.push_back(std::make_shared<tvr27pkDCProvider>());
    providers.push_back(std::make_shared<tvr27pkRCProvider>());
    return providers;
}
