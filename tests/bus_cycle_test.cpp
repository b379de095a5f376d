// The polling cycle of the bus device over small recording children: whole
// rounds per configuration and DATAFLAG combination, each row of both
// transition tables, the payload rule, the model check, pacing and the
// round end. "Base" is the class template's own cycle (the QZL4200 model),
// "Variant" the tvr27pk table run by the same engine.
#include "bus/pmbus_power.h"
#include "tests/support/test_host.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using boost::posix_time::hours;
using boost::posix_time::milliseconds;
using boost::posix_time::seconds;
using boost::posix_time::second_clock;
using testhost::Answer;

constexpr std::uint32_t kBusId = 7;
constexpr int kAcBlock = 3;  // bytes each fake AC child takes from a walk
constexpr int kDcBlock = 4;  // bytes each fake DC child takes from a walk

// --- recording children -------------------------------------------------------

struct Call {
    std::string who;
    std::string op;
    const unsigned char* data;
    int length;
};

// What the children saw, shared by all of them during one test.
struct World {
    std::vector<Call> calls;
    std::vector<std::string> events;              // RoundDone and Reset, in order
    std::map<std::string, std::deque<int>> results;  // scripted parse results per child
};
World* world = nullptr;

class FakeChild : public VNQSPDevice {
public:
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    void RoundDone() override { world->events.push_back("RoundDone " + name_); }
    bool InitV(VNQVDevice* parent, std::uint32_t id, const Json::Value& config) override {
        name_ = prefix_ + std::to_string(id);
        return VNQVDevice::InitV(parent, id, config);
    }

protected:
    FakeChild(const char* prefix, int block) : prefix_(prefix), block_(block) {}

    // Records the call, touches every byte handed over (so a walk that hands
    // out bytes past the answer shows under the sanitizers) and returns the
    // scripted result, else its block (the rectifier: all it was given).
    int Parse(const char* op, const unsigned char* data, int length) {
        world->calls.push_back({name_, op, data, length});
        volatile unsigned sum = 0;
        for (int i = 0; i < length; ++i) sum = sum + data[i];
        auto& q = world->results[name_];
        if (!q.empty()) {
            const int r = q.front();
            q.pop_front();
            return r;
        }
        if (block_ < 0) return length;
        return length >= block_ ? block_ : -1;
    }

private:
    std::string prefix_;
    int block_;
    std::string name_;
};

class FakeAC : public FakeChild {
public:
    FakeAC() : FakeChild("ac", kAcBlock) {}
    virtual int parse40_41(const unsigned char* d, int n) { return Parse("40_41", d, n); }
    virtual int parse40_43(const unsigned char* d, int n) { return Parse("40_43", d, n); }
    virtual int parse40_44(const unsigned char* d, int n) { return Parse("40_44", d, n); }
};

class FakeDC : public FakeChild {
public:
    explicit FakeDC(const std::string&) : FakeChild("dc", kDcBlock) {}
    virtual int parse42_41(const unsigned char* d, int n) { return Parse("42_41", d, n); }
    virtual int parse42_44(const unsigned char* d, int n) { return Parse("42_44", d, n); }
};

class FakeRC : public FakeChild {
public:
    FakeRC() : FakeChild("rc", -1) {}
    virtual int parse41_41(const unsigned char* d, int n) { return Parse("41_41", d, n); }
    virtual int parse41_43(const unsigned char* d, int n) { return Parse("41_43", d, n); }
    virtual int parse41_44(const unsigned char* d, int n) { return Parse("41_44", d, n); }
    virtual int parse40_46(const unsigned char* d, int n) { return Parse("40_46", d, n); }
    virtual int parse42_46(const unsigned char* d, int n) { return Parse("42_46", d, n); }
};

using FakeBus = PMBusPower<FakeAC, FakeDC, FakeRC>;

// The class template with its own process_payload, plus access to the poller state.
class BaseBus : public FakeBus {
public:
    BaseBus() : FakeBus({"tvr27pk", "alpha9"}) { deviceType_ = "fakebus"; }
    void Force(std::uint32_t step, std::uint8_t acFlag, std::uint8_t rcFlag) {
        commandStep_ = step;
        acDataFlag_ = acFlag;
        rcDataFlag_ = rcFlag;
        checkModel_ = false;
    }
    std::uint8_t AcFlag() const { return acDataFlag_; }
    std::uint8_t RcFlag() const { return rcDataFlag_; }
    bool ModelPending() const { return checkModel_; }
    const std::string& Model() const { return deviceModel_; }
};

// The tvr27pk table over the same children, as the tvr27pk model runs it.
class VariantBus : public BaseBus {
public:
    int process_payload() override { return RunCycle(bus_cycle::kTvr27pkCycle); }
};

// Records the command step at every reset next to the children's RoundDone.
class Controller : public testhost::TestController {
public:
    void ExchangeReset(VNQSPDevice& dev) override {
        TestController::ExchangeReset(dev);
        world->events.push_back("Reset step " +
                                std::to_string(static_cast<PMBusProtocol&>(dev).CommandStep()));
    }
};

std::string Name(std::uint8_t cid1, std::uint8_t cid2) {
    char b[8];
    std::snprintf(b, sizeof b, "%02X_%02X", cid1, cid2);
    return b;
}
std::string Name(const testhost::Request& r) { return Name(r.cid1, r.cid2); }

std::string Join(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) s += (s.empty() ? "" : " ") + x;
    return s;
}

// The command step each request is sent in.
const std::map<std::string, std::uint32_t> kStepOf = {
    {"40_51", 14}, {"40_41", 0}, {"40_43", 1}, {"40_44", 2}, {"41_41", 4}, {"41_43", 5},
    {"41_44", 6},  {"42_41", 7}, {"42_44", 8}, {"40_46", 3}, {"42_46", 9},
};

// The payload each request must carry at a protocol version byte.
std::vector<std::uint8_t> PayloadOf(const std::string& name, std::uint8_t version) {
    if (name == "40_41" || name == "40_43" || name == "40_44") return {0xFF};
    if (name == "42_41" || name == "42_44") return version == 33 ? std::vector<std::uint8_t>{0xFF}
                                                                 : std::vector<std::uint8_t>{};
    return {};
}

// A power system answering every request of a round.
struct PowerSystem {
    bool variant = false;  // tvr27pk layout: no unit count in the AC answers
    int ac = 0;
    int dc = 0;
    std::uint8_t acFlag = 0;
    std::uint8_t rcFlag = 0;
    std::uint8_t dcFlag = 0;

    std::vector<std::uint8_t> Info(const std::string& name) const {
        std::vector<std::uint8_t> info;
        auto blocks = [&info](int n, int size) {
            for (int i = 0; i < n * size; ++i) info.push_back(static_cast<std::uint8_t>(0xA0 + i));
        };
        if (name == "40_51") {
            const std::string m = "tvr27pk";
            info.assign(m.begin(), m.end());
            info.resize(20, 0);
        } else if (name == "40_41" || name == "40_43" || name == "40_44") {
            info.push_back(name == "40_41" ? acFlag : 0);
            if (!variant) info.push_back(static_cast<std::uint8_t>(ac));
            blocks(ac, kAcBlock);
        } else if (name == "41_41") {
            info = {rcFlag, 0x31, 0x32};
        } else if (name == "42_41" || name == "42_44") {
            info = {static_cast<std::uint8_t>(name == "42_41" ? dcFlag : 0), static_cast<std::uint8_t>(dc)};
            blocks(dc, kDcBlock);
        } else {
            info = {0x51, 0x52, 0x53, 0x54};
        }
        return info;
    }
};

Json::Value Config(int ac, int dc, int version = 33) {
    Json::Value cfg(Json::objectValue);
    cfg["protocol_version"] = version;
    cfg["acSetting"] = Json::Value(Json::arrayValue);
    cfg["dcSetting"] = Json::Value(Json::arrayValue);
    for (int i = 0; i < ac; ++i) cfg["acSetting"][i]["data_id"] = 11 + i;
    for (int i = 0; i < dc; ++i) cfg["dcSetting"][i]["data_id"] = 21 + i;
    cfg["rcSetting"] = Json::Value(Json::objectValue);
    return cfg;
}

struct RoundCase {
    int ac;
    int dc;
    std::uint8_t valid;
    std::uint8_t acFlag;
    std::uint8_t rcFlag;
    std::uint8_t dcFlag;
    const char* requests;  // of a round after the model check
};

std::string Describe(const RoundCase& c) {
    std::ostringstream os;
    os << "ac=" << c.ac << " dc=" << c.dc << " valid=" << int(c.valid) << std::hex << " acFlag=0x"
       << int(c.acFlag) << " rcFlag=0x" << int(c.rcFlag) << " dcFlag=0x" << int(c.dcFlag);
    return os.str();
}

class BusCycle : public ::testing::Test {
protected:
    void SetUp() override { world = &w_; }
    void TearDown() override { world = nullptr; }

    template <typename Bus>
    std::shared_ptr<Bus> Make(int ac, int dc, int version = 33) {
        auto bus = std::make_shared<Bus>();
        const Json::Value cfg = Config(ac, dc, version);
        bus->Init(ctl_, kBusId, cfg);
        EXPECT_TRUE(bus->InitSetting(cfg));
        bus->SetLastUpdate(second_clock::local_time() - hours(1));
        return bus;
    }

    int Deliver(PMBusProtocol& bus, std::uint8_t cid1, const std::vector<std::uint8_t>& info) {
        const auto a = Answer(cid1, info);
        return bus.DeliverAnswer(a.data(), static_cast<unsigned>(a.size()));
    }

    // Starts a round with RefreshStatus and answers every request until the
    // round ends; returns the requests of the round and checks the results,
    // each request's step and payload and the round end.
    template <typename Bus>
    std::string RunRound(Bus& bus, const PowerSystem& ps) {
        const std::size_t first = ctl_->requests.size();
        const int resetsBefore = ctl_->resets;
        w_.events.clear();
        EXPECT_TRUE(bus.RefreshStatus());
        std::vector<int> results;
        for (int i = 0; i < 16 && ctl_->requests.size() > first; ++i) {
            const testhost::Request req = ctl_->requests.back();
            const std::size_t sent = ctl_->requests.size();
            const int r = Deliver(bus, req.cid1, ps.Info(Name(req)));
            results.push_back(r);
            if (r == 0) break;
            if (ctl_->requests.size() == sent) {
                ADD_FAILURE() << "no request after the answer to " << Name(req);
                break;
            }
        }
        std::vector<std::string> names;
        for (std::size_t i = first; i < ctl_->requests.size(); ++i) {
            const auto& req = ctl_->requests[i];
            const std::string n = Name(req);
            names.push_back(n);
            EXPECT_EQ(req.step_after, kStepOf.at(n)) << n;
            EXPECT_EQ(req.info, PayloadOf(n, bus.ProtocolVersion())) << n;
        }
        // Every answer but the last one sent the next request; the last ended the round.
        std::vector<int> expected(results.size(), 1);
        if (!expected.empty()) expected.back() = 0;
        EXPECT_EQ(results, expected);
        EXPECT_EQ(ctl_->resets, resetsBefore + 1);
        EXPECT_EQ(bus.CommandStep(), 0u);
        EXPECT_TRUE(ctl_->logs.empty()) << Join(ctl_->logs);
        return Join(names);
    }

    // Runs the first round (model check first) of each case and, for the
    // first `again` cases, a second, paced one.
    template <typename Bus>
    void RunRounds(const std::vector<RoundCase>& cases, bool variant, std::size_t again) {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const RoundCase& c = cases[i];
            SCOPED_TRACE(Describe(c));
            auto bus = Make<Bus>(c.ac, c.dc);
            bus->SetDataValid(c.valid);
            const PowerSystem ps{variant, c.ac, c.dc, c.acFlag, c.rcFlag, c.dcFlag};
            EXPECT_EQ(RunRound(*bus, ps), std::string("40_51 ") + c.requests);
            if (i >= again) continue;
            bus->SetLastUpdate(second_clock::local_time() - seconds(5));
            EXPECT_EQ(RunRound(*bus, ps), c.requests);
        }
    }

    std::string RoundEndOrder(int ac, int dc) const {
        std::vector<std::string> e;
        for (int i = 0; i < ac; ++i) e.push_back("RoundDone ac" + std::to_string(11 + i));
        for (int i = 0; i < dc; ++i) e.push_back("RoundDone dc" + std::to_string(21 + i));
        e.push_back("RoundDone rc" + std::to_string(kBusId));
        e.push_back("Reset step 0");
        return Join(e);
    }

    World w_;
    std::shared_ptr<Controller> ctl_ = std::make_shared<Controller>();
};

// --- whole rounds -----------------------------------------------------------------

TEST_F(BusCycle, BaseRoundsFollowTheDataflagsAndTheConfiguration) {
    const std::vector<RoundCase> cases = {
        {2, 1, 0, 0x00, 0x00, 0x00, "40_41 40_43 40_44 41_41 41_43 41_44 42_41 42_44 40_46 42_46"},
        {2, 1, 0, 0x11, 0x11, 0x11, "40_41 40_43 40_44 41_41 41_43 41_44 42_41 42_44 40_46 42_46"},
        {2, 1, 1, 0x00, 0x00, 0x00, "40_41 41_41 42_41 40_46 42_46"},
        {2, 1, 1, 0x01, 0x00, 0x00, "40_41 40_44 41_41 42_41 40_46 42_46"},
        {2, 1, 1, 0x10, 0x00, 0x00, "40_41 40_43 41_41 42_41 40_46 42_46"},
        {2, 1, 1, 0x11, 0x00, 0x00, "40_41 40_43 40_44 41_41 42_41 40_46 42_46"},
        {2, 1, 1, 0x00, 0x01, 0x00, "40_41 41_41 41_44 42_41 40_46 42_46"},
        {2, 1, 1, 0x00, 0x10, 0x00, "40_41 41_41 41_43 42_41 40_46 42_46"},
        {2, 1, 1, 0x00, 0x11, 0x00, "40_41 41_41 41_43 41_44 42_41 40_46 42_46"},
        {2, 1, 1, 0x00, 0x00, 0x01, "40_41 41_41 42_41 42_44 40_46 42_46"},
        {2, 1, 1, 0x00, 0x00, 0x10, "40_41 41_41 42_41 42_44 40_46 42_46"},
        {2, 1, 1, 0x00, 0x00, 0x11, "40_41 41_41 42_41 42_44 40_46 42_46"},
        {2, 1, 1, 0xEE, 0xEE, 0xEE, "40_41 41_41 42_41 40_46 42_46"},
        {0, 2, 0, 0x00, 0x00, 0x00, "41_41 41_43 41_44 42_41 42_44 42_46"},
        {0, 2, 1, 0x00, 0x00, 0x00, "41_41 42_41 42_46"},
        {1, 0, 0, 0x00, 0x00, 0x00, "40_41 40_43 40_44 41_41 41_43 41_44"},
        {1, 0, 1, 0x00, 0x00, 0x00, "40_41 41_41"},
        {1, 0, 1, 0x00, 0x01, 0x00, "40_41 41_41 41_44"},
        {1, 0, 1, 0x00, 0x10, 0x00, "40_41 41_41 41_43"},
        {0, 0, 1, 0x00, 0x00, 0x00, "41_41"},
    };
    RunRounds<BaseBus>(cases, false, 4);
}

TEST_F(BusCycle, VariantRoundsFollowTheDataflagsAndTheConfiguration) {
    const std::vector<RoundCase> cases = {
        {2, 1, 0, 0x00, 0x00, 0x00, "40_41 40_44 41_41 41_43 41_44 42_41 42_44 40_46 42_46"},
        {2, 1, 1, 0x00, 0x00, 0x00, "40_41 41_41 42_41 40_46 42_46"},
        {2, 1, 1, 0x01, 0x00, 0x00, "40_41 40_44 41_41 42_41 40_46 42_46"},
        {2, 1, 1, 0x10, 0x00, 0x00, "40_41 41_41 42_41 40_46 42_46"},
        {2, 1, 1, 0x11, 0x00, 0x00, "40_41 40_44 41_41 42_41 40_46 42_46"},
        {2, 1, 1, 0x00, 0x01, 0x00, "40_41 41_41 41_44 42_41 40_46 42_46"},
        {2, 1, 1, 0x00, 0x10, 0x00, "40_41 41_41 41_43 42_41 40_46 42_46"},
        {2, 1, 1, 0x00, 0x11, 0x00, "40_41 41_41 41_43 41_44 42_41 40_46 42_46"},
        {2, 1, 1, 0x00, 0x00, 0x01, "40_41 41_41 42_41 42_44 40_46 42_46"},
        {2, 1, 1, 0x00, 0x00, 0x10, "40_41 41_41 42_41 42_44 40_46 42_46"},
        {2, 1, 1, 0x00, 0x00, 0x11, "40_41 41_41 42_41 42_44 40_46 42_46"},
        {0, 2, 0, 0x00, 0x00, 0x00, "41_41 41_43 41_44 42_41 42_44 42_46"},
        {0, 2, 1, 0x00, 0x00, 0x00, "41_41 42_41 42_46"},
        // Without DC children the DC group is still read.
        {1, 0, 0, 0x00, 0x00, 0x00, "40_41 40_44 41_41 41_43 41_44 42_41 42_44 40_46 42_46"},
        {1, 0, 1, 0x00, 0x00, 0x00, "40_41 41_41 42_41 40_46 42_46"},
        {1, 0, 1, 0x00, 0x01, 0x00, "40_41 41_41 41_44 42_41 40_46 42_46"},
        {0, 0, 1, 0x00, 0x00, 0x00, "41_41 42_41 42_46"},
    };
    RunRounds<VariantBus>(cases, true, cases.size());
}

TEST_F(BusCycle, RoundEndRunsRoundDoneInOrderThenStepZeroThenReset) {
    auto base = Make<BaseBus>(2, 2);
    base->SetDataValid(1);
    RunRound(*base, PowerSystem{false, 2, 2, 0, 0, 0});
    EXPECT_EQ(Join(w_.events), RoundEndOrder(2, 2));

    auto variant = Make<VariantBus>(2, 0);
    variant->SetDataValid(1);
    RunRound(*variant, PowerSystem{true, 2, 0, 0, 0, 0});
    EXPECT_EQ(Join(w_.events), RoundEndOrder(2, 0));
}

TEST_F(BusCycle, ProtocolVersionByteDecidesTheDcPayloadOnly) {
    // RunRound checks every request against PayloadOf: the group byte on the
    // AC requests always, on 42_41 and 42_44 only at version 33, never elsewhere.
    for (int version : {33, 32, 34, 0, 0xA1}) {
        SCOPED_TRACE(version);
        ctl_->Clear();
        auto bus = Make<VariantBus>(1, 1, version);
        EXPECT_EQ(bus->ProtocolVersion(), version);
        RunRound(*bus, PowerSystem{true, 1, 1, 0, 0, 0});
    }
    ctl_->Clear();
    auto bus = Make<BaseBus>(1, 1, 32);
    RunRound(*bus, PowerSystem{false, 1, 1, 0, 0, 0});
    EXPECT_EQ(ctl_->requests.size(), 11u);
}

// --- each row of the transition tables -------------------------------------------

enum class Model { Base, Variant };

struct ChildCall {
    const char* who;
    const char* op;
    int offset;  // from INFO[0]
    int length;
};

struct RowCase {
    const char* what;
    Model model;
    int ac;
    int dc;
    std::uint32_t step;
    std::uint8_t valid;
    std::uint8_t acFlag;  // acDataFlag_ before the answer
    std::uint8_t rcFlag;  // rcDataFlag_ before the answer
    std::uint8_t cid1;
    std::vector<std::uint8_t> info;
    std::vector<std::pair<const char*, int>> results;  // scripted parse results
    // expected
    int result;
    std::uint32_t stepAfter;
    const char* sent;  // the request sent, "" for none, "end" for the round end
    std::vector<ChildCall> calls;
    std::vector<std::string> logs;
};

std::vector<std::uint8_t> Bytes(std::initializer_list<int> head, int fill) {
    std::vector<std::uint8_t> v;
    for (int b : head) v.push_back(static_cast<std::uint8_t>(b));
    for (int i = 0; i < fill; ++i) v.push_back(static_cast<std::uint8_t>(0xC0 + i));
    return v;
}

const std::string kId = std::to_string(kBusId);
std::string ProtocolError(const std::string& rest) { return "PMBusPower:ProcotolError " + kId + " " + rest; }

class BusRows : public BusCycle {
public:
    void Run(const RowCase& c) {
        SCOPED_TRACE(c.what);
        std::shared_ptr<BaseBus> bus;
        if (c.model == Model::Base)
            bus = Make<BaseBus>(c.ac, c.dc);
        else
            bus = Make<VariantBus>(c.ac, c.dc);
        bus->SetDataValid(c.valid);
        bus->Force(c.step, c.acFlag, c.rcFlag);
        ctl_->Clear();
        w_.calls.clear();
        w_.events.clear();
        for (const auto& r : c.results) w_.results[r.first].push_back(r.second);

        const auto a = Answer(c.cid1, c.info);
        const unsigned char* info = a.data() + 6;
        const int result = bus->DeliverAnswer(a.data(), static_cast<unsigned>(a.size()));

        EXPECT_EQ(result, c.result);
        EXPECT_EQ(bus->CommandStep(), c.stepAfter);
        const std::string sent = c.sent;
        if (sent == "end") {
            EXPECT_TRUE(ctl_->requests.empty());
            EXPECT_EQ(Join(w_.events), RoundEndOrder(c.ac, c.dc));
        } else if (sent.empty()) {
            EXPECT_TRUE(ctl_->requests.empty());
        } else {
            ASSERT_EQ(ctl_->requests.size(), 1u);
            EXPECT_EQ(Name(ctl_->requests[0]), sent);
        }
        if (sent != "end") {
            EXPECT_EQ(ctl_->resets, result == 0 ? 1 : 0);
        }

        std::vector<std::string> got, want;
        for (const auto& call : w_.calls)
            got.push_back(call.who + " " + call.op + " @" + std::to_string(call.data - info) + " #" +
                          std::to_string(call.length));
        for (const auto& call : c.calls)
            want.push_back(std::string(call.who) + " " + call.op + " @" + std::to_string(call.offset) +
                           " #" + std::to_string(call.length));
        EXPECT_EQ(Join(got), Join(want));
        EXPECT_EQ(ctl_->logs, c.logs);

        // A refused or ignored answer is served again by the next paced RefreshStatus.
        if (result == 1 && sent.empty() && bus->CommandStep() == c.step &&
            bus_cycle::FindCommand(c.step) != nullptr) {
            EXPECT_TRUE(bus->RefreshStatus());
            ASSERT_EQ(ctl_->requests.size(), 1u);
            EXPECT_EQ(ctl_->requests[0].step_after, c.step);
            EXPECT_EQ(kStepOf.at(Name(ctl_->requests[0])), c.step);
        }
        w_.results.clear();
    }
};

TEST_F(BusRows, BaseTable) {
    const Model B = Model::Base;
    const std::string acNumber = ProtocolError("read ac_number is 3, configured ac_number is 2");
    const std::vector<RowCase> cases = {
        // step 0: 40_41
        {"0: other CID1 resets", B, 2, 1, 0, 1, 0, 0, 0x41, Bytes({0, 2}, 6), {}, 0, 0, "", {}, {}},
        {"0: unit count differs: logged, reset", B, 2, 1, 0, 1, 0, 0, 0x40, Bytes({0x11, 3}, 6), {}, 0, 0, "", {},
         {acNumber}},
        {"0: walk skip 2, flag 0 -> 41_41", B, 2, 1, 0, 1, 0, 0, 0x40, Bytes({0, 2}, 6), {}, 1, 4, "41_41",
         {{"ac11", "40_41", 2, 6}, {"ac12", "40_41", 5, 3}}, {}},
        {"0: flag 0x01 -> 40_44", B, 2, 1, 0, 1, 0, 0, 0x40, Bytes({0x01, 2}, 6), {}, 1, 2, "40_44",
         {{"ac11", "40_41", 2, 6}, {"ac12", "40_41", 5, 3}}, {}},
        {"0: flag 0x10 -> 40_43", B, 2, 1, 0, 1, 0, 0, 0x40, Bytes({0x10, 2}, 6), {}, 1, 1, "40_43",
         {{"ac11", "40_41", 2, 6}, {"ac12", "40_41", 5, 3}}, {}},
        {"0: not valid -> 40_43", B, 2, 1, 0, 0, 0, 0, 0x40, Bytes({0, 2}, 6), {}, 1, 1, "40_43",
         {{"ac11", "40_41", 2, 6}, {"ac12", "40_41", 5, 3}}, {}},
        {"0: -1 stops the walk", B, 2, 1, 0, 1, 0, 0, 0x40, Bytes({0, 2}, 6), {{"ac11", -1}}, 1, 0, "",
         {{"ac11", "40_41", 2, 6}}, {}},
        {"0: consumed short", B, 2, 1, 0, 1, 0, 0, 0x40, Bytes({0, 2}, 7), {}, 1, 0, "",
         {{"ac11", "40_41", 2, 7}, {"ac12", "40_41", 5, 4}}, {ProtocolError("parse 40_41 overflow memory boundary")}},
        {"0: after a child claiming more than it got, the next gets a negative length and refuses", B, 2, 1, 0, 1,
         0, 0, 0x40, Bytes({0, 2}, 6), {{"ac11", 9}}, 1, 0, "", {{"ac11", "40_41", 2, 6}, {"ac12", "40_41", 8, -3}},
         {}},
        {"0: no unit count", B, 2, 1, 0, 1, 0, 0, 0x40, Bytes({0}, 0), {}, 0, 0, "", {},
         {ProtocolError("read 40_41 info length is 1, needs at least 2")}},
        {"0: empty INFO", B, 2, 1, 0, 1, 0, 0, 0x40, {}, {}, 0, 0, "", {},
         {ProtocolError("read 40_41 info length is 0, needs at least 2")}},
        // step 1: 40_43
        {"1: walk, valid -> 40_44 by flag 0x01", B, 1, 1, 1, 1, 0x11, 0, 0x40, Bytes({0, 1}, 3), {}, 1, 2, "40_44",
         {{"ac11", "40_43", 2, 3}}, {}},
        {"1: flag 0x10 only -> 41_41", B, 1, 1, 1, 1, 0x10, 0, 0x40, Bytes({0, 1}, 3), {}, 1, 4, "41_41",
         {{"ac11", "40_43", 2, 3}}, {}},
        {"1: INFO of 2: no child, advances", B, 1, 1, 1, 0, 0, 0, 0x40, Bytes({0, 1}, 0), {}, 1, 2, "40_44", {}, {}},
        {"1: INFO of 1: no child, advances", B, 1, 1, 1, 1, 0, 0, 0x40, Bytes({0}, 0), {}, 1, 4, "41_41", {}, {}},
        {"1: consumed differs", B, 1, 1, 1, 1, 0, 0, 0x40, Bytes({0, 1}, 4), {}, 1, 1, "",
         {{"ac11", "40_43", 2, 4}}, {ProtocolError("parse 40_43 overflow memory boundary")}},
        {"1: other CID1 ignored", B, 1, 1, 1, 1, 0, 0, 0x42, Bytes({0, 1}, 3), {}, 1, 1, "", {}, {}},
        {"1: -1", B, 1, 1, 1, 1, 0, 0, 0x40, Bytes({0, 1}, 3), {{"ac11", -1}}, 1, 1, "",
         {{"ac11", "40_43", 2, 3}}, {}},
        // step 2: 40_44
        {"2: walk -> 41_41", B, 2, 1, 2, 0, 0, 0, 0x40, Bytes({0, 2}, 6), {}, 1, 4, "41_41",
         {{"ac11", "40_44", 2, 6}, {"ac12", "40_44", 5, 3}}, {}},
        {"2: consumed differs: no log", B, 2, 1, 2, 1, 0, 0, 0x40, Bytes({0, 2}, 5), {{"ac12", 1}}, 1, 2, "",
         {{"ac11", "40_44", 2, 5}, {"ac12", "40_44", 5, 2}}, {}},
        {"2: INFO of 1: the first child gets -1 bytes and refuses", B, 2, 1, 2, 1, 0, 0, 0x40, Bytes({0}, 0), {}, 1,
         2, "", {{"ac11", "40_44", 1, -1}}, {}},
        {"2: other CID1 ignored", B, 2, 1, 2, 1, 0, 0, 0x41, Bytes({0, 2}, 6), {}, 1, 2, "", {}, {}},
        // step 4: 41_41
        {"4: valid, flag 0 -> 42_41", B, 1, 1, 4, 1, 0, 0xFF, 0x41, Bytes({0x00}, 3), {}, 1, 7, "42_41",
         {{"rc7", "41_41", 0, 4}}, {}},
        {"4: flag 0x01 -> 41_44", B, 1, 1, 4, 1, 0, 0, 0x41, Bytes({0x01}, 3), {}, 1, 6, "41_44",
         {{"rc7", "41_41", 0, 4}}, {}},
        {"4: not valid -> 41_43", B, 1, 1, 4, 0, 0, 0, 0x41, Bytes({0x00}, 3), {}, 1, 5, "41_43",
         {{"rc7", "41_41", 0, 4}}, {}},
        {"4: no DC children: round end", B, 1, 0, 4, 1, 0, 0, 0x41, Bytes({0x00}, 3), {}, 0, 0, "end",
         {{"rc7", "41_41", 0, 4}}, {}},
        {"4: -1 is a mismatch", B, 1, 1, 4, 1, 0, 0, 0x41, Bytes({0x00}, 3), {{"rc7", -1}}, 1, 4, "",
         {{"rc7", "41_41", 0, 4}}, {ProtocolError("parse p41_41 overflow memory boundary")}},
        {"4: empty INFO", B, 1, 1, 4, 1, 0, 0, 0x41, {}, {}, 1, 4, "", {},
         {ProtocolError("read 41_41 info length is 0, needs at least 1")}},
        {"4: other CID1 ignored", B, 1, 1, 4, 1, 0, 0, 0x40, Bytes({0x00}, 3), {}, 1, 4, "", {}, {}},
        // steps 5, 6: 41_43, 41_44
        {"5: flag 0x01 -> 41_44", B, 1, 1, 5, 1, 0, 0x11, 0x41, Bytes({}, 5), {}, 1, 6, "41_44",
         {{"rc7", "41_43", 0, 5}}, {}},
        {"5: flag 0x10 -> 42_41", B, 1, 1, 5, 1, 0, 0x10, 0x41, Bytes({}, 5), {}, 1, 7, "42_41",
         {{"rc7", "41_43", 0, 5}}, {}},
        {"5: no DC: round end", B, 1, 0, 5, 1, 0, 0x10, 0x41, Bytes({}, 5), {}, 0, 0, "end",
         {{"rc7", "41_43", 0, 5}}, {}},
        {"5: result differs", B, 1, 1, 5, 1, 0, 0, 0x41, Bytes({}, 5), {{"rc7", -1}}, 1, 5, "",
         {{"rc7", "41_43", 0, 5}}, {ProtocolError("parse p41_43 overflow memory boundary")}},
        {"6: -> 42_41", B, 1, 1, 6, 1, 0, 0, 0x41, Bytes({}, 5), {}, 1, 7, "42_41", {{"rc7", "41_44", 0, 5}}, {}},
        {"6: no DC: round end", B, 1, 0, 6, 1, 0, 0, 0x41, Bytes({}, 5), {}, 0, 0, "end",
         {{"rc7", "41_44", 0, 5}}, {}},
        {"6: result differs", B, 1, 1, 6, 1, 0, 0, 0x41, Bytes({}, 5), {{"rc7", 4}}, 1, 6, "",
         {{"rc7", "41_44", 0, 5}}, {ProtocolError("parse p41_44 overflow memory boundary")}},
        // step 7: 42_41
        {"7: flag 0 valid, AC -> 40_46", B, 1, 2, 7, 1, 0, 0, 0x42, Bytes({0, 2}, 8), {}, 1, 3, "40_46",
         {{"dc21", "42_41", 2, 8}, {"dc22", "42_41", 6, 4}}, {}},
        {"7: flag 0x10 -> 42_44", B, 1, 2, 7, 1, 0, 0, 0x42, Bytes({0x10, 2}, 8), {}, 1, 8, "42_44",
         {{"dc21", "42_41", 2, 8}, {"dc22", "42_41", 6, 4}}, {}},
        {"7: no AC -> 42_46", B, 0, 1, 7, 1, 0, 0, 0x42, Bytes({0, 1}, 4), {}, 1, 9, "42_46",
         {{"dc21", "42_41", 2, 4}}, {}},
        {"7: four units: skip 1", B, 1, 4, 7, 1, 0, 0, 0x42, Bytes({0, 4}, 15), {}, 1, 3, "40_46",
         {{"dc21", "42_41", 1, 16}, {"dc22", "42_41", 5, 12}, {"dc23", "42_41", 9, 8}, {"dc24", "42_41", 13, 4}},
         {}},
        {"7: three units: skip 2 (INFO[1] below 4)", B, 1, 3, 7, 1, 0, 0, 0x42, Bytes({0, 3}, 12), {}, 1, 3, "40_46",
         {{"dc21", "42_41", 2, 12}, {"dc22", "42_41", 6, 8}, {"dc23", "42_41", 10, 4}}, {}},
        {"7: unit count differs", B, 1, 2, 7, 1, 0, 0, 0x42, Bytes({0, 3}, 8), {}, 1, 7, "", {},
         {ProtocolError("read dc_number is 3, configured dc_number is 2")}},
        {"7: consumed above: logged, goes on", B, 1, 1, 7, 0, 0, 0, 0x42, Bytes({0, 1}, 4), {{"dc21", 5}}, 1, 8,
         "42_44", {{"dc21", "42_41", 2, 4}}, {ProtocolError("parse 42_41 overflow memory boundary")}},
        {"7: consumed short: not logged", B, 1, 1, 7, 1, 0, 0, 0x42, Bytes({0, 1}, 6), {}, 1, 3, "40_46",
         {{"dc21", "42_41", 2, 6}}, {}},
        {"7: -1", B, 1, 1, 7, 1, 0, 0, 0x42, Bytes({0, 1}, 4), {{"dc21", -1}}, 1, 7, "",
         {{"dc21", "42_41", 2, 4}}, {}},
        {"7: no unit count", B, 1, 1, 7, 1, 0, 0, 0x42, Bytes({0x11}, 0), {}, 1, 7, "", {},
         {ProtocolError("read 42_41 info length is 1, needs at least 2")}},
        {"7: other CID1 ignored", B, 1, 1, 7, 1, 0, 0, 0x41, Bytes({0, 1}, 4), {}, 1, 7, "", {}, {}},
        // step 8: 42_44
        {"8: -> 40_46", B, 1, 1, 8, 1, 0, 0, 0x42, Bytes({0, 1}, 4), {}, 1, 3, "40_46", {{"dc21", "42_44", 2, 4}},
         {}},
        {"8: no AC -> 42_46", B, 0, 1, 8, 1, 0, 0, 0x42, Bytes({0, 1}, 4), {}, 1, 9, "42_46",
         {{"dc21", "42_44", 2, 4}}, {}},
        {"8: consumed short: not logged, goes on", B, 1, 1, 8, 1, 0, 0, 0x42, Bytes({0, 1}, 6), {}, 1, 3, "40_46",
         {{"dc21", "42_44", 2, 6}}, {}},
        {"8: unit count differs", B, 1, 1, 8, 1, 0, 0, 0x42, Bytes({0, 0}, 4), {}, 1, 8, "", {},
         {ProtocolError("read dc_number is 0, configured dc_number is 1")}},
        {"8: consumed above", B, 1, 1, 8, 1, 0, 0, 0x42, Bytes({0, 1}, 4), {{"dc21", 6}}, 1, 3, "40_46",
         {{"dc21", "42_44", 2, 4}}, {ProtocolError("parse 42_44 overflow memory boundary")}},
        {"8: no unit count", B, 1, 1, 8, 1, 0, 0, 0x42, {}, {}, 1, 8, "", {},
         {ProtocolError("read 42_44 info length is 0, needs at least 2")}},
        // steps 3, 9: 40_46, 42_46
        {"3: -> 42_46", B, 1, 1, 3, 1, 0, 0, 0x40, Bytes({}, 6), {}, 1, 9, "42_46", {{"rc7", "40_46", 0, 6}}, {}},
        {"3: above: logged, goes on", B, 1, 1, 3, 1, 0, 0, 0x40, Bytes({}, 6), {{"rc7", 7}}, 1, 9, "42_46",
         {{"rc7", "40_46", 0, 6}}, {ProtocolError("parse 40_46 overflow memory boundary")}},
        {"3: short: not logged", B, 1, 1, 3, 1, 0, 0, 0x40, Bytes({}, 6), {{"rc7", 2}}, 1, 9, "42_46",
         {{"rc7", "40_46", 0, 6}}, {}},
        {"3: -1", B, 1, 1, 3, 1, 0, 0, 0x40, Bytes({}, 6), {{"rc7", -1}}, 1, 3, "", {{"rc7", "40_46", 0, 6}}, {}},
        {"3: other CID1 ignored", B, 1, 1, 3, 1, 0, 0, 0x42, Bytes({}, 6), {}, 1, 3, "", {}, {}},
        {"9: round end", B, 1, 1, 9, 1, 0, 0, 0x42, Bytes({}, 6), {}, 0, 0, "end", {{"rc7", "42_46", 0, 6}}, {}},
        {"9: above: logged, round end", B, 2, 1, 9, 1, 0, 0, 0x42, Bytes({}, 6), {{"rc7", 8}}, 0, 0, "end",
         {{"rc7", "42_46", 0, 6}}, {ProtocolError("parse 42_46 overflow memory boundary")}},
        {"9: short: not logged, round end", B, 1, 1, 9, 1, 0, 0, 0x42, Bytes({}, 6), {{"rc7", 2}}, 0, 0, "end",
         {{"rc7", "42_46", 0, 6}}, {}},
        {"9: -1", B, 1, 1, 9, 1, 0, 0, 0x42, Bytes({}, 6), {{"rc7", -1}}, 1, 9, "", {{"rc7", "42_46", 0, 6}}, {}},
        {"9: other CID1 ignored", B, 1, 1, 9, 1, 0, 0, 0x40, Bytes({}, 6), {}, 1, 9, "", {}, {}},
        // steps outside the command set
        {"step 10: nothing", B, 1, 1, 10, 1, 0, 0, 0x40, Bytes({0, 1}, 3), {}, 1, 10, "", {}, {}},
    };
    for (const auto& c : cases) Run(c);
}

TEST_F(BusRows, VariantTable) {
    const Model V = Model::Variant;
    const std::vector<RowCase> cases = {
        // step 0: 40_41, skip 1, no unit count
        {"0: other CID1 resets", V, 2, 1, 0, 1, 0, 0, 0x42, Bytes({0}, 6), {}, 0, 0, "", {}, {}},
        {"0: INFO[1] is data: skip 1", V, 2, 1, 0, 1, 0, 0, 0x40, Bytes({0x10, 9}, 5), {}, 1, 4, "41_41",
         {{"ac11", "40_41", 1, 6}, {"ac12", "40_41", 4, 3}}, {}},
        {"0: flag 0x01 -> 40_44", V, 2, 1, 0, 1, 0, 0, 0x40, Bytes({0x01}, 6), {}, 1, 2, "40_44",
         {{"ac11", "40_41", 1, 6}, {"ac12", "40_41", 4, 3}}, {}},
        {"0: flag 0x11 -> 40_44", V, 1, 1, 0, 1, 0, 0, 0x40, Bytes({0x11}, 3), {}, 1, 2, "40_44",
         {{"ac11", "40_41", 1, 3}}, {}},
        {"0: not valid -> 40_44", V, 1, 1, 0, 0, 0, 0, 0x40, Bytes({0x00}, 3), {}, 1, 2, "40_44",
         {{"ac11", "40_41", 1, 3}}, {}},
        {"0: consumed differs", V, 1, 1, 0, 1, 0, 0, 0x40, Bytes({0x00}, 4), {}, 1, 0, "",
         {{"ac11", "40_41", 1, 4}}, {ProtocolError("parse 40_41 overflow memory boundary")}},
        {"0: -1", V, 2, 1, 0, 1, 0, 0, 0x40, Bytes({0x00}, 6), {{"ac11", -1}}, 1, 0, "",
         {{"ac11", "40_41", 1, 6}}, {}},
        {"0: empty INFO", V, 1, 1, 0, 1, 0, 0, 0x40, {}, {}, 0, 0, "", {},
         {ProtocolError("read 40_41 info length is 0, needs at least 1")}},
        // step 2: 40_44, skip 1
        {"2: -> 41_41", V, 2, 1, 2, 0, 0, 0, 0x40, Bytes({0x00}, 6), {}, 1, 4, "41_41",
         {{"ac11", "40_44", 1, 6}, {"ac12", "40_44", 4, 3}}, {}},
        {"2: consumed differs: no log", V, 1, 1, 2, 1, 0, 0, 0x40, Bytes({0x00}, 4), {}, 1, 2, "",
         {{"ac11", "40_44", 1, 4}}, {}},
        {"2: empty INFO: the child gets -1 bytes and refuses", V, 1, 1, 2, 1, 0, 0, 0x40, {}, {}, 1, 2, "",
         {{"ac11", "40_44", 0, -1}}, {}},
        // steps 4 to 6: 42_41 follows whether or not there are DC children
        {"4: no DC -> 42_41", V, 1, 0, 4, 1, 0, 0, 0x41, Bytes({0x00}, 3), {}, 1, 7, "42_41",
         {{"rc7", "41_41", 0, 4}}, {}},
        {"4: flag 0x10 -> 41_43", V, 1, 0, 4, 1, 0, 0, 0x41, Bytes({0x10}, 3), {}, 1, 5, "41_43",
         {{"rc7", "41_41", 0, 4}}, {}},
        {"4: -1", V, 1, 0, 4, 1, 0, 0, 0x41, Bytes({0x10}, 3), {{"rc7", -1}}, 1, 4, "", {{"rc7", "41_41", 0, 4}},
         {ProtocolError("parse p41_41 overflow memory boundary")}},
        {"4: empty INFO", V, 1, 0, 4, 1, 0, 0, 0x41, {}, {}, 1, 4, "", {},
         {ProtocolError("read 41_41 info length is 0, needs at least 1")}},
        {"5: no DC -> 42_41", V, 1, 0, 5, 1, 0, 0x10, 0x41, Bytes({}, 3), {}, 1, 7, "42_41",
         {{"rc7", "41_43", 0, 3}}, {}},
        {"5: not valid -> 41_44", V, 1, 0, 5, 0, 0, 0, 0x41, Bytes({}, 3), {}, 1, 6, "41_44",
         {{"rc7", "41_43", 0, 3}}, {}},
        {"6: no DC -> 42_41", V, 1, 0, 6, 1, 0, 0, 0x41, Bytes({}, 3), {}, 1, 7, "42_41",
         {{"rc7", "41_44", 0, 3}}, {}},
        {"6: result differs", V, 1, 0, 6, 1, 0, 0, 0x41, Bytes({}, 3), {{"rc7", 2}}, 1, 6, "",
         {{"rc7", "41_44", 0, 3}}, {ProtocolError("parse p41_44 overflow memory boundary")}},
        // step 7: 42_41, skip 2 always, differences logged both ways
        {"7: four units: still skip 2", V, 1, 4, 7, 1, 0, 0, 0x42, Bytes({0, 4}, 16), {}, 1, 3, "40_46",
         {{"dc21", "42_41", 2, 16}, {"dc22", "42_41", 6, 12}, {"dc23", "42_41", 10, 8}, {"dc24", "42_41", 14, 4}},
         {}},
        {"7: no DC, count 0 -> 40_46", V, 1, 0, 7, 1, 0, 0, 0x42, Bytes({0, 0}, 0), {}, 1, 3, "40_46", {}, {}},
        {"7: no DC, longer INFO: logged, goes on", V, 1, 0, 7, 1, 0, 0, 0x42, Bytes({0, 0}, 3), {}, 1, 3,
         "40_46", {}, {ProtocolError("parse 42_41 overflow memory boundary")}},
        {"7: no DC, count 1", V, 1, 0, 7, 1, 0, 0, 0x42, Bytes({0, 1}, 4), {}, 1, 7, "", {},
         {ProtocolError("read dc_number is 1, configured dc_number is 0")}},
        {"7: consumed short: logged, 42_44", V, 1, 1, 7, 1, 0, 0, 0x42, Bytes({0x01, 1}, 6), {}, 1, 8, "42_44",
         {{"dc21", "42_41", 2, 6}}, {ProtocolError("parse 42_41 overflow memory boundary")}},
        {"7: consumed short: logged, 42_46", V, 0, 1, 7, 1, 0, 0, 0x42, Bytes({0x00, 1}, 6), {}, 1, 9, "42_46",
         {{"dc21", "42_41", 2, 6}}, {ProtocolError("parse 42_41 overflow memory boundary")}},
        {"7: -1", V, 1, 1, 7, 1, 0, 0, 0x42, Bytes({0x00, 1}, 4), {{"dc21", -1}}, 1, 7, "",
         {{"dc21", "42_41", 2, 4}}, {}},
        {"7: no unit count", V, 1, 1, 7, 1, 0, 0, 0x42, Bytes({0x00}, 0), {}, 1, 7, "", {},
         {ProtocolError("read 42_41 info length is 1, needs at least 2")}},
        // step 8: 42_44
        {"8: short: logged, goes on", V, 1, 1, 8, 1, 0, 0, 0x42, Bytes({0, 1}, 5), {}, 1, 3, "40_46",
         {{"dc21", "42_44", 2, 5}}, {ProtocolError("parse 42_44 overflow memory boundary")}},
        {"8: unit count differs", V, 1, 1, 8, 1, 0, 0, 0x42, Bytes({0, 2}, 4), {}, 1, 8, "", {},
         {ProtocolError("read dc_number is 2, configured dc_number is 1")}},
        {"8: no unit count", V, 1, 1, 8, 1, 0, 0, 0x42, Bytes({0}, 0), {}, 1, 8, "", {},
         {ProtocolError("read 42_44 info length is 1, needs at least 2")}},
        // steps 3, 9
        {"3: short: logged, goes on", V, 1, 1, 3, 1, 0, 0, 0x40, Bytes({}, 6), {{"rc7", 5}}, 1, 9, "42_46",
         {{"rc7", "40_46", 0, 6}}, {ProtocolError("parse 40_46 overflow memory boundary")}},
        {"3: -1", V, 1, 1, 3, 1, 0, 0, 0x40, Bytes({}, 6), {{"rc7", -1}}, 1, 3, "", {{"rc7", "40_46", 0, 6}}, {}},
        {"9: short: logged, round end", V, 1, 1, 9, 1, 0, 0, 0x42, Bytes({}, 6), {{"rc7", 0}}, 0, 0, "end",
         {{"rc7", "42_46", 0, 6}}, {ProtocolError("parse 42_46 overflow memory boundary")}},
        {"9: -1", V, 1, 1, 9, 1, 0, 0, 0x42, Bytes({}, 6), {{"rc7", -1}}, 1, 9, "", {{"rc7", "42_46", 0, 6}}, {}},
        // the variant has no 40_43 step
        {"1: not in the table", V, 1, 1, 1, 1, 0, 0, 0x40, Bytes({0, 1}, 3), {}, 1, 1, "", {}, {}},
    };
    for (const auto& c : cases) Run(c);
}

TEST_F(BusRows, DataflagsAreKeptFromTheFirstAnswerOfTheGroup) {
    // INFO[0] is kept before the unit count and the walk are judged.
    auto base = Make<BaseBus>(2, 1);
    base->SetDataValid(1);
    base->Force(0, 0, 0);
    EXPECT_EQ(Deliver(*base, 0x40, Bytes({0x11, 5}, 6)), 0);  // unit count differs
    EXPECT_EQ(base->AcFlag(), 0x11);

    base->Force(4, 0, 0);
    w_.results["rc7"].push_back(-1);
    EXPECT_EQ(Deliver(*base, 0x41, Bytes({0x10}, 3)), 1);
    EXPECT_EQ(base->RcFlag(), 0x10);

    // Too short or of another CID1: the flags stay.
    base->Force(4, 0x01, 0x01);
    EXPECT_EQ(Deliver(*base, 0x41, {}), 1);
    EXPECT_EQ(Deliver(*base, 0x42, {0x10}), 1);
    EXPECT_EQ(base->RcFlag(), 0x01);
    base->Force(0, 0x01, 0x01);
    EXPECT_EQ(Deliver(*base, 0x40, {0x10}), 0);
    EXPECT_EQ(base->AcFlag(), 0x01);

    // 40_43 reads the kept AC flag again.
    base->Force(1, 0x01, 0);
    EXPECT_EQ(Deliver(*base, 0x40, Bytes({0, 2}, 6)), 1);
    EXPECT_EQ(base->CommandStep(), 2u);
}

// --- the model check -------------------------------------------------------------------

std::string Field(const std::string& word, char fill, std::size_t size = 20) {
    std::string f = word;
    f.resize(size, fill);
    return f;
}

std::vector<std::uint8_t> Info(const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); }

TEST_F(BusCycle, ModelCheckReportsAnUnsupportedModelOnce) {
    struct Case {
        const char* what;
        std::string field;  // the INFO of the 40_51 answer
        bool supported;
    };
    const Case cases[] = {
        {"word and NUL fill", Field("tvr27pk", '\0'), true},
        {"word and space fill", Field("tvr27pk", ' '), true},
        {"mixed fill", Field("alpha9 ", '\0'), true},
        {"second supported name", Field("alpha9", '\0'), true},
        {"short answer with the word", "tvr27pk", true},
        {"longer answer: the first 20 bytes", Field("tvr27pk", '\0', 24), true},
        {"other case", Field("TVR27PK", '\0'), false},
        {"longer word", Field("tvr27pkx", '\0'), false},
        {"shorter word", Field("tvr27p", '\0'), false},
        {"leading space", Field(" tvr27pk", '\0'), false},
        {"bytes after the fill", Field("tvr27pk", '\0').replace(15, 1, "x"), false},
        {"short answer, other model", "qzl", false},
        {"empty answer", "", false},
        {"all fill", Field("", '\0'), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ctl_->Clear();
        auto bus = Make<VariantBus>(1, 1);
        ASSERT_TRUE(bus->ModelPending());
        ASSERT_TRUE(bus->RefreshStatus());
        const std::vector<std::uint8_t> info(c.field.begin(), c.field.end());
        EXPECT_EQ(Deliver(*bus, 0x40, info), 1);
        const std::string model = c.field.substr(0, 20);
        EXPECT_EQ(bus->Model(), model);
        EXPECT_FALSE(bus->ModelPending());
        if (c.supported) {
            EXPECT_TRUE(ctl_->rules.empty());
        } else {
            ASSERT_EQ(ctl_->rules.size(), 1u);
            const rule_value& r = ctl_->rules[0];
            EXPECT_EQ(r.level, 3);
            EXPECT_EQ(r.key, "device_model");
            EXPECT_EQ(r.alarm_id, "70319");
            EXPECT_EQ(r.name, "设备配置检测");
            EXPECT_EQ(r.text, "本驱动类型:fakebus 检测型号:" + model);
            EXPECT_EQ(r.active, 1u);
            EXPECT_EQ(r.seq, 0u);
            EXPECT_EQ(r.data_id, kBusId);
        }
        // The round starts either way.
        ASSERT_EQ(ctl_->requests.size(), 2u);
        EXPECT_EQ(Name(ctl_->requests[1]), "40_41");
        EXPECT_EQ(ctl_->requests[1].step_after, 0u);
    }
}

TEST_F(BusCycle, ModelCheckIsMadeOnceAndSentUnpaced) {
    auto bus = Make<BaseBus>(0, 1);
    bus->SetLastUpdate(second_clock::local_time());  // would hold a round back
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(bus->RefreshStatus());
        ASSERT_EQ(ctl_->requests.size(), static_cast<std::size_t>(i + 1));
        EXPECT_EQ(Name(ctl_->requests.back()), "40_51");
        EXPECT_TRUE(ctl_->requests.back().info.empty());
        EXPECT_EQ(ctl_->requests.back().step_after, 14u);
    }
    // An answer of another CID1 is ignored: the check is still pending.
    EXPECT_EQ(Deliver(*bus, 0x41, Info(Field("qzl", '\0'))), 1);
    EXPECT_TRUE(bus->ModelPending());
    EXPECT_EQ(bus->CommandStep(), 14u);
    EXPECT_TRUE(ctl_->rules.empty());

    // Unsupported model, no AC children: reported once, the round starts at 41_41.
    EXPECT_EQ(Deliver(*bus, 0x40, Info(Field("qzl", '\0'))), 1);
    EXPECT_EQ(ctl_->rules.size(), 1u);
    EXPECT_EQ(bus->CommandStep(), 4u);
    EXPECT_EQ(Name(ctl_->requests.back()), "41_41");

    // From now on the rounds are paced and never ask for the model again.
    EXPECT_FALSE(bus->RefreshStatus());
    bus->SetDataValid(1);
    bus->SetLastUpdate(second_clock::local_time() - seconds(3));
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(RunRound(*bus, PowerSystem{false, 0, 1, 0, 0, 0}), "41_41 42_41 42_46");
        bus->SetLastUpdate(second_clock::local_time() - seconds(3));
    }
    EXPECT_EQ(ctl_->rules.size(), 1u);
    EXPECT_EQ(bus->Model(), Field("qzl", '\0'));
}

// --- pacing -------------------------------------------------------------------------------

TEST_F(BusCycle, RoundsArePacedTwoWholeSecondsAfterTheLastUpdate) {
    struct Case {
        const char* what;
        long long offsetMs;  // last update relative to now
        bool sends;
    };
    const Case cases[] = {
        {"1.9 s ago", -1900, false},
        {"just now", 0, false},
        {"2.0 s ago", -2000, true},
        {"2.9 s ago", -2900, true},
        {"an hour ago", -3600000, true},
        {"in the future", 5000, false},
        {"0.5 s in the future", 500, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto bus = Make<VariantBus>(1, 1);
        ASSERT_TRUE(bus->RefreshStatus());
        ASSERT_EQ(Deliver(*bus, 0x40, Info(Field("tvr27pk", '\0'))), 1);  // model check done, step 0
        ctl_->Clear();
        bool result = false;
        testhost::InOneSecond([&] {
            ctl_->requests.clear();
            bus->SetLastUpdate(second_clock::local_time() + milliseconds(c.offsetMs));
            result = bus->RefreshStatus();
        });
        EXPECT_EQ(result, c.sends);
        if (c.sends) {
            ASSERT_EQ(ctl_->requests.size(), 1u);
            EXPECT_EQ(Name(ctl_->requests[0]), "40_41");
            EXPECT_EQ(bus->RefreshWord(), 1u);
        } else {
            EXPECT_TRUE(ctl_->requests.empty());
            EXPECT_EQ(bus->RefreshWord(), 0u);
        }
    }
}

TEST_F(BusCycle, NothingIsSentWhileTheLineCannotTakeARequest) {
    auto bus = Make<BaseBus>(1, 1);
    ctl_->link_ready = false;
    EXPECT_FALSE(bus->RefreshStatus());
    EXPECT_TRUE(ctl_->requests.empty());
    ctl_->link_ready = true;
    EXPECT_TRUE(bus->RefreshStatus());
    EXPECT_EQ(ctl_->requests.size(), 1u);
}

TEST_F(BusCycle, RefreshStatusServesTheOutstandingStepAgain) {
    struct Case {
        std::uint32_t step;
        int ac;
        const char* sent;  // "" for nothing
        std::uint32_t stepAfter;
    };
    const Case cases[] = {
        {0, 1, "40_41", 0}, {0, 0, "41_41", 4}, {1, 1, "40_43", 1}, {2, 1, "40_44", 2}, {4, 1, "41_41", 4},
        {5, 1, "41_43", 5}, {6, 1, "41_44", 6}, {7, 1, "42_41", 7}, {8, 1, "42_44", 8}, {3, 1, "40_46", 3},
        {9, 1, "42_46", 9}, {9, 0, "42_46", 9}, {10, 1, "", 10},  {13, 1, "", 13},    {15, 1, "", 15},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        auto bus = Make<BaseBus>(c.ac, 1);
        bus->Force(c.step, 0, 0);
        ctl_->Clear();
        EXPECT_TRUE(bus->RefreshStatus());
        EXPECT_EQ(bus->CommandStep(), c.stepAfter);
        if (*c.sent == '\0') {
            EXPECT_TRUE(ctl_->requests.empty());
        } else {
            ASSERT_EQ(ctl_->requests.size(), 1u);
            EXPECT_EQ(Name(ctl_->requests[0]), c.sent);
            EXPECT_EQ(ctl_->requests[0].step_after, c.stepAfter);
        }
    }
}

TEST_F(BusCycle, LostParameterAnswersDoNotStallTheRound) {
    auto bus = Make<VariantBus>(1, 1);
    bus->SetDataValid(1);
    bus->Force(3, 0, 0);
    EXPECT_TRUE(bus->RefreshStatus());  // the 40_46 answer was lost
    EXPECT_EQ(Name(ctl_->requests.back()), "40_46");
    EXPECT_EQ(Deliver(*bus, 0x40, Bytes({}, 4)), 1);
    EXPECT_EQ(Name(ctl_->requests.back()), "42_46");
    EXPECT_TRUE(bus->RefreshStatus());  // and the 42_46 answer too
    EXPECT_EQ(Name(ctl_->requests.back()), "42_46");
    EXPECT_EQ(Deliver(*bus, 0x42, Bytes({}, 4)), 0);
    EXPECT_EQ(bus->CommandStep(), 0u);
}

// --- timing of process_payload ---------------------------------------------------------

TEST_F(BusCycle, BaseWaitsTwentyMillisecondsBeforeEachAnswerTheVariantDoesNot) {
    using clock = std::chrono::steady_clock;
    auto base = Make<BaseBus>(1, 1);
    auto variant = Make<VariantBus>(1, 1);
    auto timeOf = [this](PMBusProtocol& bus) {
        const auto start = clock::now();
        Deliver(bus, 0x41, {});  // ignored by step 14 (other CID1): nothing but the wait
        return std::chrono::duration_cast<std::chrono::microseconds>(clock::now() - start).count();
    };
    base->RefreshStatus();
    variant->RefreshStatus();
    EXPECT_GE(timeOf(*base), 20000);
    long long fastest = timeOf(*variant);
    for (int i = 0; i < 4; ++i) fastest = std::min<long long>(fastest, timeOf(*variant));
    EXPECT_LT(fastest, 20000);
}

}  // namespace
