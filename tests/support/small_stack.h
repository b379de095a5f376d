#pragma once
// Runs a function on a thread with a stack of a given size and waits for it:
// a controller's host threads may have far less stack than a desktop's, so
// code that must not recurse with its input is run here with little of it.
#include <pthread.h>

#include <cstddef>

namespace testhost {

// False when the thread could not be started (f did not run).
template <typename F>
bool RunOnStack(std::size_t stackBytes, F f) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stackBytes);
    pthread_t t;
    const int rc = pthread_create(
        &t, &attr,
        [](void* p) -> void* {
            (*static_cast<F*>(p))();
            return nullptr;
        },
        &f);
    pthread_attr_destroy(&attr);
    if (rc != 0) return false;
    pthread_join(t, nullptr);
    return true;
}

}  // namespace testhost
