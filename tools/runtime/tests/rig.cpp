#include "tools/runtime/tests/rig.h"

#include <json/reader.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace rttest {

namespace {

Json::Value Site(const std::string& dir, const std::string& port, const std::string& extra) {
    Json::Value site(Json::objectValue);
    site["port"] = port;
    site["data_id"] = 100;
    site["timeout_ms"] = 200;
    site["refresh_ms"] = 20;
    site["reopen_min_ms"] = 50;
    site["reopen_max_ms"] = 200;
    site["database"] = dir + "/history.db";
    Json::Value more;
    Json::CharReaderBuilder b;
    std::string err;
    std::istringstream in(extra);
    if (!Json::parseFromStream(b, in, &more, &err)) throw std::runtime_error("bad test JSON: " + err);
    for (const auto& k : more.getMemberNames()) site[k] = more[k];
    return site;
}

}  // namespace

Rig::Rig(const std::string& dir, Script script, const std::string& extraJson)
    : ps(dir, std::move(script)), logPath(dir + "/host.log") {
    log.Open(logPath);
    const Json::Value site = Site(dir, ps.Path(), extraJson);
    host = std::make_shared<rt::HostRuntime>(io, rt::OptionsFromJson(site), log);
    bus = std::make_shared<FakeBus>();
    bus->Init(host, 100, site);
    bus->InitSetting(site);
    host->Attach(bus);
    host->OnRoundEnd([this](const rt::RoundEnd& r) {
        std::lock_guard<std::mutex> lock(mutex_);
        rounds_.push_back(r);
    });
    host->OnEvent([this](const rt::RuntimeEvent& e) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::to_string(e.id) + " " + rt::EventKindName(e.kind) + " " + std::to_string(e.data_id) +
                          (rt::IsAlarmEvent(e.kind) ? " " + e.rule.key : ""));
    });
    restored = host->RestoreChildren();
}

Rig::~Rig() { Stop(); }

std::vector<std::string> Rig::Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

void Rig::Start() {
    guard_.emplace(io.get_executor());
    host->Start();
    stopped_ = false;
    thread_ = std::thread([this] { io.run(); });
}

void Rig::Stop() {
    if (stopped_) return;
    stopped_ = true;
    host->Stop();
    guard_.reset();
    if (thread_.joinable()) thread_.join();
    host->Shutdown();
}

bool Rig::WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

bool Rig::WaitRounds(std::size_t n, std::chrono::milliseconds limit) {
    return WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return rounds_.size() >= n;
        },
        limit);
}

std::vector<rt::RoundEnd> Rig::Rounds() {
    std::lock_guard<std::mutex> lock(mutex_);
    return rounds_;
}

std::string Rig::LogText() const {
    std::ifstream in(logPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int Rig::LogCount(const std::string& needle) const {
    const std::string text = LogText();
    int n = 0;
    for (std::size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
}

}  // namespace rttest
