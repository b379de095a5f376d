// Inline defaults every device carries, and the host's logging path.
#include "host/pmbus_protocol.h"
#include "host/ttime.h"
#include "tests/support/test_host.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

using testhost::Host;

// A device that keeps every default and records its byte-form restore calls.
class BareDevice : public PMBusProtocol {
public:
    bool LoadFromCache(const unsigned char* data, int length) override {
        ++calls;
        lastData = data;
        lastLength = length;
        return length == 0;
    }
    using PMBusProtocol::LoadFromCache;
    void Log(unsigned v) { InfoLog("BareDevice {} value {}", DataId(), v); }
    int calls = 0;
    const unsigned char* lastData = nullptr;
    int lastLength = -1;
};

TEST(HostDefaults, GetValueSaysNotReady) {
    BareDevice d;
    try {
        d.Get_Value(0, "ia");
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "数据未就绪");
    }
}

TEST(HostDefaults, TextFormOfLoadFromCacheCallsByteForm) {
    BareDevice d;
    const std::string empty;
    EXPECT_TRUE(d.LoadFromCache(empty));
    EXPECT_EQ(d.calls, 1);
    EXPECT_EQ(d.lastLength, 0);
    const std::string three("\x01\x02\x03", 3);
    EXPECT_FALSE(d.LoadFromCache(three));
    EXPECT_EQ(d.lastLength, 3);
    EXPECT_EQ(d.lastData, reinterpret_cast<const unsigned char*>(three.data()));
}

TEST(HostDefaults, OtherDefaults) {
    BareDevice d;
    int written = 7;
    EXPECT_EQ(d.DeviceIoControl(1, nullptr, 0, nullptr, 0, written), -2);
    EXPECT_FALSE(d.GetChildVDevice(0));
    EXPECT_TRUE(d.GetAllChildVDevices().empty());
    EXPECT_FALSE(d.UseControllerDb());
    d.RoundDone();  // does nothing
}

TEST(HostLogging, FormatsPlaceholdersInOrder) {
    Host h;
    auto d = std::make_shared<BareDevice>();
    d->Init(h.ctl, 42, Json::Value());
    d->Log(7);
    ASSERT_EQ(h.ctl->logs.size(), 1u);
    EXPECT_EQ(h.ctl->logs[0], "BareDevice 42 value 7");
}

TEST(HostLogging, ControllerGoneLogsNothing) {
    auto d = std::make_shared<BareDevice>();
    d->Log(1);  // never had a controller
    {
        auto ctl = std::make_shared<testhost::TestController>();
        d->Init(ctl, 1, Json::Value());
    }
    d->Log(2);  // controller released
    SUCCEED();
}

TEST(HostLogging, FormatTable) {
    struct Case {
        std::string got;
        const char* want;
    } cases[] = {
        {hostfmt::format("a {} b {}", 1u, static_cast<unsigned char>(200)), "a 1 b 200"},
        {hostfmt::format("{} {} {}", 5u, -1, static_cast<unsigned char>(3)), "5 -1 3"},
        {hostfmt::format("ProcotolError %u read 40_43 m is %d max %d", 9u, 1, 0),
         "ProcotolError 9 read 40_43 m is 1 max 0"},
        {hostfmt::format("no placeholders", 1u), "no placeholders"},
        {hostfmt::format("one {} two {}", 1u), "one 1 two {}"},
        {hostfmt::format("trailing {} ", 3u), "trailing 3 "},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(HostTime, SevenByteRecord) {
    using namespace boost::posix_time;
    const ptime t(boost::gregorian::date(2026, 12, 8), hours(5) + minutes(6) + seconds(7));
    const ttime r = get_ttime(t);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&r);
    const unsigned char want[7] = {0xEA, 0x07, 12, 8, 5, 6, 7};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(b[i], want[i]) << i;
}

TEST(HostAlarms, BeginAndEndEvents) {
    AlarmTracker t;
    rule_value r;
    r.data_id = 1;
    r.key = "AC_0";
    r.seq = 1;
    AlarmEvent ev;
    EXPECT_FALSE(t.Apply(r, &ev));  // first seen, inactive
    r.active = 1;
    ASSERT_TRUE(t.Apply(r, &ev));
    EXPECT_TRUE(ev.begin);
    EXPECT_FALSE(t.Apply(r, &ev));  // still active
    EXPECT_EQ(t.Active().size(), 1u);
    r.seq = 2;  // same key, another sequence number: another rule
    EXPECT_TRUE(t.Apply(r, &ev));
    r.seq = 1;
    r.active = 0;
    ASSERT_TRUE(t.Apply(r, &ev));
    EXPECT_FALSE(ev.begin);
    EXPECT_EQ(t.Active().size(), 1u);
}

// Rounds of rules in the same order (what the tracker expects), reordered,
// with rules left out or new ones: every change is found as a plain map
// of the states finds it.
TEST(HostAlarms, AnyOrderOfRulesGivesTheSameEvents) {
    AlarmTracker t;
    std::map<std::tuple<std::uint32_t, std::string, std::uint32_t>, bool> want;
    std::mt19937 rng(7);
    std::vector<rule_value> pool;
    for (std::uint32_t i = 0; i < 12; ++i) {
        rule_value r;
        r.data_id = 1000 + i % 3;
        r.key = "AC_" + std::to_string(i % 4);
        r.seq = i / 4 + 1;
        pool.push_back(r);
    }
    std::vector<std::size_t> order(pool.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    for (int round = 0; round < 200; ++round) {
        if (round % 5 == 4) std::shuffle(order.begin(), order.end(), rng);
        const std::size_t n = round % 7 == 6 ? rng() % pool.size() : pool.size();
        for (std::size_t k = 0; k < n; ++k) {
            rule_value r = pool[order[k]];
            r.active = rng() % 4 == 0;
            r.text = std::to_string(rng() % 2);
            bool& was = want[{r.data_id, r.key, r.seq}];
            AlarmEvent ev;
            ASSERT_EQ(t.Apply(r, &ev), was != (r.active != 0)) << round << " " << k;
            was = r.active != 0;
        }
        std::size_t active = 0;
        for (const auto& kv : want) active += kv.second;
        ASSERT_EQ(t.Active().size(), active) << round;
    }
}

}  // namespace
