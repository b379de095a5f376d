#pragma once
// The plug-in's one entry point, exported under its plain name.
#include "host/provider.h"

#include <memory>
#include <vector>

#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>> get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

// The type of get_providers, for a host that finds it with dlsym.
using get_providers_fn = std::vector<std::shared_ptr<Provider>> (*)();
