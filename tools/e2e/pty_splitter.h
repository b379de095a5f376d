#pragma once
// An RS-485 bus for tests: one pseudo-terminal the monitor opens (Path),
// whose requests go to every unit behind it (the simulators' terminals),
// and whose units' answers come back on it. Each unit answers only its
// own ADR, so at most one of them talks at a time.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

class PtySplitter {
public:
    // units: the terminals the simulators print on start-up. Throws
    // std::runtime_error when one cannot be opened.
    explicit PtySplitter(const std::vector<std::string>& units);
    ~PtySplitter();
    PtySplitter(const PtySplitter&) = delete;
    PtySplitter& operator=(const PtySplitter&) = delete;

    const std::string& Path() const { return path_; }

private:
    void Loop();

    int master_ = -1;
    int slave_ = -1;  // kept open: the bus stays up while the monitor reopens
    std::vector<int> units_;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace e2e
