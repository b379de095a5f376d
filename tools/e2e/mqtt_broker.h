#pragma once
// A Mosquitto broker run by a test: its configuration, data and log in the
// test's folder, its listeners on free loopback ports.
#include "tools/e2e/child_process.h"

#include <memory>
#include <string>
#include <vector>

namespace e2e {

// A loopback TCP port nothing listens on just now.
int FreePort();
// count such ports, all different.
std::vector<int> FreePorts(std::size_t count);

// Keeps its sessions in its folder across a restart, so that a subscriber
// misses nothing published while it was reconnecting.
struct Broker {
    // One plain listener on port for anyone.
    explicit Broker(const std::string& dir) : Broker(dir, FreePort(), "") {}
    // settings: the listeners and access rules (the listener on port among
    // them); empty: one plain listener on port for anyone.
    Broker(const std::string& dir, int port, const std::string& settings);
    // Returns once the broker listens (at most 5 s).
    void Start();
    // SIGTERM; expects status 0.
    void Stop();

    const int port;
    const std::string conf, log;
    std::unique_ptr<ChildProcess> proc;
};

}  // namespace e2e
