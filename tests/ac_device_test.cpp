// The AC device as the host sees it: model types, virtual slots, configuration,
// restore from a stored image, and the signal lookup with its four refusals.
#include "ac/ac_models.h"
#include "tests/support/small_stack.h"
#include "tests/support/test_host.h"
#include "tests/support/vtable_slot.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using boost::posix_time::second_clock;
using boost::posix_time::seconds;
using testhost::FloatBytes;
using Panel = tele_c_qzl4200_ac;
using Channel = tele_c_qzl4200_ac_channel;

std::uint32_t Bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

template <typename T>
std::vector<std::uint8_t> ImageOf(const T& r) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&r);
    return std::vector<std::uint8_t>(p, p + sizeof r);
}

std::vector<std::uint8_t> State(const tvr27pkAC& d) {
    auto s = ImageOf(d.Record());
    for (const auto& ch : d.Channels()) {
        const auto c = ImageOf(ch);
        s.insert(s.end(), c.begin(), c.end());
    }
    return s;
}

// A stored image: the panel record with the given count byte, then n channel records.
std::vector<std::uint8_t> StoredImage(std::uint8_t countByte, int channels, float base = 100.0f) {
    Panel p{};
    p.data_id = 42;
    p.ia = base;
    p.channel_num = countByte;
    p.ib_alert = 2;
    auto img = ImageOf(p);
    for (int i = 0; i < channels; ++i) {
        Channel c{};
        c.a = base + static_cast<float>(i);
        c.f = 50.0f;
        c.c_alert = 3;
        const auto b = ImageOf(c);
        img.insert(img.end(), b.begin(), b.end());
    }
    return img;
}

// The text of the std::out_of_range f throws, or "" when it returns.
std::string Refusal(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "";
}

class AcDevice : public ::testing::Test {
protected:
    void SetUp() override {
        dev = std::make_shared<tvr27pkAC>();
        dev->SetTraceStream(&trace);
        ASSERT_TRUE(dev->InitV(host.parent.get(), 7, Json::Value(Json::objectValue)));
    }
    int P41(const std::vector<std::uint8_t>& b) { return dev->parse40_41(b.data(), static_cast<int>(b.size())); }
    int P44(const std::vector<std::uint8_t>& b) { return dev->parse40_44(b.data(), static_cast<int>(b.size())); }
    bool Load(const std::vector<std::uint8_t>& b) {
        return dev->LoadFromCache(b.empty() ? nullptr : b.data(), static_cast<int>(b.size()));
    }
    float Get(const std::string& name) const { return dev->Get_Value(0, name); }
    std::string RefusalOf(const std::string& name) const {
        return Refusal([&] { Get(name); });
    }

    testhost::Host host;
    std::shared_ptr<tvr27pkAC> dev;
    std::ostringstream trace;
};

// ------------------------------------------------------- types and slots

using testhost::SlotOf;

TEST(AcModels, DeviceTypesAndStartingState) {
    const auto base = std::make_shared<QZL4200AC>();
    const auto model = std::make_shared<tvr27pkAC>();
    EXPECT_EQ(base->DeviceType(), "qzl4200-ac");
    EXPECT_EQ(model->DeviceType(), "tvr27pk-ac");
    for (const QZL4200AC* d : {static_cast<const QZL4200AC*>(base.get()), static_cast<const QZL4200AC*>(model.get())}) {
        EXPECT_EQ(ImageOf(d->Record()), std::vector<std::uint8_t>(32, 0));
        EXPECT_TRUE(d->Channels().empty());
        EXPECT_EQ(d->DiffV(), 20.0f);
        EXPECT_EQ(d->DiffI(), 20.0f);
        EXPECT_EQ(d->SnapshotBuffer(), nullptr);
        EXPECT_EQ(d->DataValid(), 0);
    }
}

TEST(AcModels, DeviceOperationsFollowTheHostSlots) {
    using D = tvr27pkAC;
    EXPECT_EQ(SlotOf(&D::Get_Value), 0);
    EXPECT_EQ(SlotOf(static_cast<bool (D::*)(const unsigned char*, int)>(&D::LoadFromCache)), 2);
    EXPECT_EQ(SlotOf(&D::RoundDone), 6);
    EXPECT_EQ(SlotOf(&D::InitV), 11);
    EXPECT_EQ(SlotOf(&D::ClosePort), 30);
    EXPECT_EQ(SlotOf(&D::parse40_41), 31);
    EXPECT_EQ(SlotOf(&D::parse40_43), 32);
    EXPECT_EQ(SlotOf(&D::parse40_44), 33);
    EXPECT_EQ(SlotOf(&D::DoImpCheckAlert), 34);
}

// --------------------------------------------------------- configuration

TEST(AcConfig, DeadBandsFromAppSetting) {
    struct Case {
        const char* json;
        float diffV, diffI;
    };
    const Case cases[] = {
        {"{}", 20.0f, 20.0f},
        {R"({"data_id": 9})", 20.0f, 20.0f},
        {R"({"appSetting": {"diff_v": 5}})", 5.0f, 20.0f},
        {R"({"appSetting": {"diff_v": "5"}})", 5.0f, 20.0f},
        {R"({"appSetting": {"diff_v": 2.5, "diff_i": "7.25"}})", 2.5f, 7.25f},
        {R"({"appSetting": {"diff_i": "abc"}})", 20.0f, 0.0f},
        {R"({"appSetting": {"diff_v": "12volts", "diff_i": -3}})", 12.0f, -3.0f},
        {R"({"appSetting": {"diff_v": null}})", 20.0f, 20.0f},
        {R"({"appSetting": [1, 2]})", 20.0f, 20.0f},
        {R"({"appSetting": "diff_v"})", 20.0f, 20.0f},
        {R"({"appSetting": null})", 20.0f, 20.0f},
        {"null", 20.0f, 20.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        testhost::Host host;
        auto d = std::make_shared<tvr27pkAC>();
        EXPECT_TRUE(d->InitV(host.parent.get(), 1234, testhost::ParseJson(c.json)));
        EXPECT_EQ(d->DiffV(), c.diffV);
        EXPECT_EQ(d->DiffI(), c.diffI);
        EXPECT_EQ(d->Record().data_id, 1234u);
        EXPECT_EQ(d->DataId(), 1234u);
        EXPECT_EQ(d->Controller(), host.ctl) << "bound to the parent's controller";
    }
}

TEST(AcConfig, UnreadableElementPropagatesAfterTheIdIsStored) {
    // A dead band that is no text, or an element that is no object.
    for (const char* json : {R"({"appSetting": {"diff_v": [1]}})", "[1, 2]", R"("ac")", "true"}) {
        SCOPED_TRACE(json);
        testhost::Host host;
        auto d = std::make_shared<tvr27pkAC>();
        EXPECT_THROW(d->InitV(host.parent.get(), 55, testhost::ParseJson(json)), Json::Exception);
        EXPECT_EQ(d->Record().data_id, 55u);
        EXPECT_EQ(d->DiffV(), 20.0f);
        EXPECT_EQ(d->Controller(), nullptr) << "the host base was not reached";
    }
}

TEST_F(AcDevice, LogLinesCarryTheConfiguredId) {
    const std::vector<std::uint8_t> part = {0, 2, 1, 2};
    EXPECT_EQ(dev->parse40_43(part.data(), 4), 4);
    EXPECT_EQ(host.ctl->logs, std::vector<std::string>{"PMBusPowerAC:ProcotolError P7 read 40_43 p is 2 not 3"});
}

// --------------------------------------------------------------- restore

TEST_F(AcDevice, RestoreTakesAWholeImage) {
    const auto img = StoredImage(2, 2);
    ASSERT_EQ(img.size(), 92u);
    bool loaded = false;
    boost::posix_time::ptime now;
    testhost::InOneSecond([&] {
        loaded = Load(img);
        now = second_clock::local_time();
    });
    ASSERT_TRUE(loaded);
    EXPECT_EQ(dev->LastUpdate(), now);
    EXPECT_EQ(State(*dev), img);
    EXPECT_EQ(dev->Channels().size(), 2u);
    EXPECT_EQ(dev->DataValid(), 1);
    EXPECT_EQ(Get("channel_1_a"), 101.0f);
    EXPECT_EQ(Get("ia"), 100.0f);
    EXPECT_TRUE(host.ctl->logs.empty());
}

TEST_F(AcDevice, RefusedImageChangesNothing) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> image;
    };
    const Case cases[] = {
        {"empty", {}},
        {"panel only", StoredImage(0, 0)},
        {"panel with a count, no channels", StoredImage(2, 0)},
        {"31 bytes", std::vector<std::uint8_t>(31, 1)},
        {"one channel short", StoredImage(2, 1)},
        {"two channels short by a byte", [] {
             auto v = StoredImage(2, 2);
             v.pop_back();
             return v;
         }()},
        {"one channel too many", StoredImage(2, 3)},
        {"count 0 with a channel", StoredImage(0, 1)},
    };
    // On a device without channels and on one that has learned three.
    for (int learned : {0, 3}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", learned " + std::to_string(learned));
            auto d = std::make_shared<tvr27pkAC>();
            std::ostringstream os;
            d->SetTraceStream(&os);
            ASSERT_TRUE(d->InitV(host.parent.get(), 7, Json::Value()));
            if (learned > 0) {
                std::vector<std::uint8_t> part(1 + 17 * learned + 12, 0);
                part[0] = static_cast<std::uint8_t>(learned);
                ASSERT_EQ(d->parse40_41(part.data(), static_cast<int>(part.size())),
                          static_cast<int>(part.size()));
            }
            const auto before = State(*d);
            EXPECT_FALSE(d->LoadFromCache(c.image.empty() ? nullptr : c.image.data(),
                                          static_cast<int>(c.image.size())));
            EXPECT_EQ(State(*d), before);
            EXPECT_EQ(d->Channels().size(), static_cast<std::size_t>(learned));
            EXPECT_EQ(d->DataValid(), 0);
            EXPECT_TRUE(d->LastUpdate().is_not_a_date_time());
        }
    }
    const auto img = StoredImage(2, 2);
    EXPECT_FALSE(dev->LoadFromCache(img.data(), -1));
    EXPECT_FALSE(dev->LoadFromCache(nullptr, 92));
    EXPECT_TRUE(dev->Channels().empty());
}

TEST_F(AcDevice, RefusedImageKeepsRestoredData) {
    ASSERT_TRUE(Load(StoredImage(2, 2)));
    const auto before = State(*dev);
    const auto stamp = dev->LastUpdate();
    EXPECT_FALSE(Load(StoredImage(3, 2, 500.0f)));
    EXPECT_EQ(State(*dev), before);
    EXPECT_EQ(dev->LastUpdate(), stamp);
}

TEST_F(AcDevice, RestoredCountGovernsLaterParts) {
    ASSERT_TRUE(Load(StoredImage(3, 3)));
    std::vector<std::uint8_t> two(1 + 17 * 2 + 12, 0);
    two[0] = 2;
    EXPECT_EQ(P41(two), -1);
    std::vector<std::uint8_t> three(1 + 17 * 3 + 12, 0);
    three[0] = 3;
    EXPECT_EQ(P41(three), 64);
    // A restore may change the count.
    ASSERT_TRUE(Load(StoredImage(2, 2)));
    EXPECT_EQ(P41(three), -1);
    EXPECT_EQ(P41(two), 47);
}

TEST_F(AcDevice, TextFormOfRestoreReachesTheByteForm) {
    const auto img = StoredImage(1, 1);
    const std::string text(img.begin(), img.end());
    EXPECT_TRUE(dev->LoadFromCache(text));
    EXPECT_EQ(State(*dev), img);
    EXPECT_FALSE(dev->LoadFromCache(std::string()));
}

// ---------------------------------------------------------------- lookup

class AcLookup : public AcDevice {
protected:
    void SetUp() override {
        AcDevice::SetUp();
        std::vector<std::uint8_t> part = {2};
        auto put = [&](std::initializer_list<float> fs) {
            for (float f : fs) {
                const auto b = FloatBytes(f);
                part.insert(part.end(), b.begin(), b.end());
            }
        };
        put({220.5f, 221.5f, 222.5f, 50.25f});
        part.push_back(0);
        put({230.5f, 231.5f, 232.5f, 49.75f});
        part.push_back(0);
        put({10.5f, 11.5f, 12.5f});
        ASSERT_EQ(P41(part), 47);
        std::vector<std::uint8_t> alarms = {2};
        for (int i = 0; i < 2; ++i) {
            alarms.insert(alarms.end(), {1, 2, 3, 1, 0, 8});
            alarms.insert(alarms.end(), 8, 0);
        }
        alarms.insert(alarms.end(), {3, 1, 0});
        ASSERT_EQ(P44(alarms), 32);
    }
};

TEST_F(AcLookup, NothingIsAnsweredBeforeTheDataIsValid) {
    for (const char* name : {"ia", "ib", "ic", "ia_alert", "channel_0_a", "channel_9_a", "nonsense", ""})
        EXPECT_EQ(RefusalOf(name), "数据未就绪") << name;
    dev->RoundDone();
    EXPECT_EQ(Get("ia"), 10.5f) << "the first round end makes the data valid";
}

TEST_F(AcLookup, EveryNameOfTheSignalTable) {
    dev->RoundDone();
    struct Case {
        const char* name;
        float value;
    };
    const Case cases[] = {
        {"ia", 10.5f},          {"ib", 11.5f},          {"ic", 12.5f},
        {"ia_alert", 3.0f},     {"ib_alert", 1.0f},     {"ic_alert", 0.0f},
        {"channel_0_a", 220.5f}, {"channel_0_b", 221.5f}, {"channel_0_c", 222.5f},
        {"channel_0_f", 50.25f}, {"channel_1_a", 230.5f}, {"channel_1_b", 231.5f},
        {"channel_1_c", 232.5f}, {"channel_1_f", 49.75f},
        // Searched, not matched whole; only the letter after the underscore counts.
        {"ac_channel_0_a", 220.5f}, {"channel_0_frequency", 50.25f}, {"channel_1_b_alert", 231.5f},
        {"channel_01_c", 232.5f}, {"channel_00000000000000000001_a", 230.5f},
        {"x_channel_q_channel_1_f", 49.75f},
        // A line end is no letter: the search goes on to the next occurrence.
        {"channel_0_\nchannel_1_a", 230.5f}, {"channel_0\r_channel_1_c", 232.5f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        float v = 0.0f;
        EXPECT_EQ(Refusal([&] { v = Get(c.name); }), "");
        EXPECT_EQ(v, c.value);
    }
}

TEST_F(AcLookup, RefusalsForUnknownNamesAndIndices) {
    dev->RoundDone();
    struct Case {
        const char* name;
        const char* text;
    };
    const Case cases[] = {
        {"channel_2_a", "通道参数越界"},
        {"channel_2_x", "通道参数越界"},
        {"channel_255_a", "通道参数越界"},
        {"channel_4294967296_a", "通道参数越界"},
        {"channel_4294967297_b", "通道参数越界"},
        {"channel_18446744073709551616_a", "通道参数越界"},
        {"channel_99999999999999999999999999999999_a", "通道参数越界"},
        {"channel_0_x", "数据未提供"},
        {"channel_0_A", "数据未提供"},
        {"channel_0_", "数据未提供"},
        {"channel_-1_a", "数据未提供"},
        {"channel__a", "数据未提供"},
        {"channel_0_\n", "数据未提供"},
        {"channel_1_\r", "数据未提供"},
        {"channel_1_\r\n", "数据未提供"},
        {"chAnnel_0_a", "数据未提供"},
        {"IA", "数据未提供"},
        {"ia ", "数据未提供"},
        {"id_alert", "数据未提供"},
        {"", "数据未提供"},
    };
    for (const auto& c : cases) EXPECT_EQ(RefusalOf(c.name), c.text) << c.name;
}

// The lookup on a thread with a 256 KiB stack, as a controller's host thread
// may have: nothing in it may grow with the length of the name.
std::string RefusalOnSmallStack(const std::function<void()>& f) {
    std::string refusal = "thread not started";
    testhost::RunOnStack(256 * 1024, [&] { refusal = Refusal(f); });
    return refusal;
}

TEST_F(AcLookup, NamesOfAnyLengthOnASmallStack) {
    dev->RoundDone();
    const std::size_t kMillion = 1000000;
    const std::string digits(kMillion, '7');
    struct Case {
        std::string name;
        const char* refusal;  // "" for an answer
        float value;
    };
    const Case cases[] = {
        {"channel_" + digits + "_a", "通道参数越界", 0},
        {"channel_" + std::string(kMillion, '0') + "1_b", "", 231.5f},
        {std::string(kMillion, 'x') + "channel_0_f", "", 50.25f},
        {"channel_" + digits, "数据未提供", 0},
        {"channel_" + digits + "_", "数据未提供", 0},
        {"channel_" + digits + "channel_1_c", "", 232.5f},
        {std::string(kMillion, '_') + "channel_0_", "数据未提供", 0},
        // A NUL is a character like any other: the letter, checked after the index.
        {std::string("channel_5_\0", 11), "通道参数越界", 0},
        {std::string("channel_0_\0", 11), "数据未提供", 0},
        {[] {
             std::string s;
             for (int i = 0; i < 100000; ++i) s += "channel_";
             return s + "1_a";
         }(),
         "", 230.5f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 40) + "... (" + std::to_string(c.name.size()) + " bytes)");
        float v = 0.0f;
        EXPECT_EQ(RefusalOnSmallStack([&] { v = Get(c.name); }), c.refusal);
        EXPECT_EQ(v, c.value);
    }
}

TEST_F(AcLookup, NoChannelIndexFitsAnEmptyList) {
    auto d = std::make_shared<tvr27pkAC>();
    ASSERT_TRUE(d->InitV(host.parent.get(), 3, Json::Value()));
    d->RoundDone();
    EXPECT_EQ(Refusal([&] { d->Get_Value(0, "channel_0_a"); }), "通道参数越界");
    EXPECT_EQ(Refusal([&] { d->Get_Value(0, "channel_000_q"); }), "通道参数越界");
    EXPECT_EQ(d->Get_Value(0, "ia"), 0.0f);
}

TEST_F(AcLookup, AgeLimitIsSixtySeconds) {
    dev->RoundDone();
    struct Case {
        long age;
        const char* refusal;
    };
    const Case cases[] = {{0, ""}, {59, ""}, {60, ""}, {61, "数据已超时"}, {3600, "数据已超时"}, {-30, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.age);
        std::string ia, channel;
        testhost::InOneSecond([&] {
            dev->SetLastUpdate(second_clock::local_time() - seconds(c.age));
            ia = RefusalOf("ia");
            channel = RefusalOf("channel_1_c");
        });
        EXPECT_EQ(ia, c.refusal);
        EXPECT_EQ(channel, c.refusal);
    }
    // Stale data is refused before the name is looked at.
    dev->SetLastUpdate(second_clock::local_time() - seconds(120));
    EXPECT_EQ(RefusalOf("nonsense"), "数据已超时");
    EXPECT_EQ(RefusalOf("channel_7_a"), "数据已超时");
}

TEST_F(AcLookup, MarkerValuesReadAsTheirSubstitutes) {
    std::vector<std::uint8_t> part = {2};
    part.insert(part.end(), 16, 0x20);
    part.push_back(0);
    part.insert(part.end(), 16, 0x00);
    part.push_back(0);
    part.insert(part.end(), 12, 0xFF);
    ASSERT_EQ(P41(part), 47);
    dev->RoundDone();
    EXPECT_EQ(Bits(Get("channel_0_a")), 0u);
    EXPECT_EQ(Bits(Get("channel_0_f")), 0u);
    EXPECT_EQ(Bits(Get("channel_1_b")), 0u);
    EXPECT_EQ(Bits(Get("ia")), 0xBDCCCCCDu);
    EXPECT_EQ(Get("ic"), -0.1f);
}

}  // namespace
