#pragma once
// An RS-485 bus for tests: one pseudo-terminal the monitor opens (Path); its
// requests go to every unit (the simulators' terminals), the units' answers
// come back on it. Each simulator answers only its own ADR, and only at
// its own speed: the speed the monitor sets on its end is passed on to the
// units' terminals with every request.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

class PtySplitter {
public:
    explicit PtySplitter(const std::vector<std::string>& units);  // throws std::runtime_error
    ~PtySplitter();
    const std::string& Path() const { return path_; }

private:
    void PassSpeed();
    std::vector<int> fds_;  // the pty's master, then the units
    int slave_ = -1;        // kept open while the monitor reopens
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace e2e
