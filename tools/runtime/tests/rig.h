#pragma once
// One runtime with a fake bus device against a scripted power system on a
// pseudo-terminal, its io_context on a thread of its own.
#include "tools/runtime/host_runtime.h"
#include "tools/runtime/tests/fake_bus.h"
#include "tools/runtime/tests/pty_power_system.h"
#include "tools/runtime/tests/temp_dir.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace rttest {

class Rig {
public:
    // extra: site keys that override the test defaults (timeout 200 ms,
    // refresh 20 ms, quick reopen, database in dir).
    Rig(const std::string& dir, Script script, const std::string& extraJson = "{}");
    ~Rig();

    void Start();
    // Stops the runtime, joins the io thread and drains the worker.
    void Stop();
    bool WaitRounds(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10));
    bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::vector<rt::RoundEnd> Rounds();
    // "id kind data_id[ rule key]" of every runtime event, in delivery order.
    std::vector<std::string> Events();
    std::string LogText() const;
    int LogCount(const std::string& needle) const;

    PtyPowerSystem ps;
    boost::asio::io_context io;
    std::string logPath;
    rt::LogSink log;
    std::shared_ptr<rt::HostRuntime> host;
    std::shared_ptr<FakeBus> bus;
    int restored = 0;

private:
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> guard_;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<rt::RoundEnd> rounds_;
    std::vector<std::string> events_;
    bool stopped_ = true;
};

}  // namespace rttest
