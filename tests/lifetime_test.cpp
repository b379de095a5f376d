// Lifetimes around the tvr27pk bus device and its real children: the
// end-of-round work items keep their devices, and a child the host holds
// keeps working after the bus device is gone.
#include "bus/bus_models.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>
#include <json/value.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using testhost::FloatBytes;

using Info = std::vector<std::uint8_t>;

void Append(Info& to, const Info& more) { to.insert(to.end(), more.begin(), more.end()); }

Info Value(float f) { return FloatBytes(f); }

// The answers of one round for one AC unit (one channel), one DC unit and
// one rectifier module, in the tvr27pk layouts (DATAFLAG first where there is one).
std::map<int, Info> RoundAnswers(float volts) {
    std::map<int, Info> a;
    Info model(20, 0);
    std::memcpy(model.data(), "tvr27pk", 7);
    a[0x4051] = model;
    Info ac{0x11, 1};
    for (float f : {volts, volts + 1, volts + 2, 50.0f}) Append(ac, Value(f));
    ac.push_back(0);  // no user-defined values
    for (float f : {10.0f, 11.0f, 12.0f}) Append(ac, Value(f));
    a[0x4041] = ac;
    Info acAlarms{0x11, 1, 0, 0, 0, 0, 0, 8};
    acAlarms.insert(acAlarms.end(), 8, 0);
    Append(acAlarms, {0, 0, 0});
    a[0x4044] = acAlarms;
    Info rc{0x11};
    Append(rc, Value(53.5f));
    rc.push_back(1);
    Append(rc, Value(30.0f));
    rc.push_back(4);
    rc.insert(rc.end(), 16, 0);
    a[0x4141] = rc;
    a[0x4143] = {0x11, 1, 0, 1, 0, 1, 0};
    a[0x4144] = {0x11, 1, 1, 4, 0, 0, 0, 0};
    Info dc{0x11, 1};
    Append(dc, Value(volts / 4));
    Append(dc, Value(120.0f));
    Append(dc, {0, 0, 0});
    a[0x4241] = dc;
    a[0x4244] = {0x11, 1, 0, 0, 0};
    Info p40(21, 0);
    a[0x4046] = p40;
    Info p42(9, 0);
    p42[8] = 5;
    p42.insert(p42.end(), 20, 0);
    a[0x4246] = p42;
    return a;
}

class Lifetime : public ::testing::Test {
protected:
    void SetUp() override {
        bus_ = std::make_shared<tvr27pk>();
        bus_->Init(host_.ctl, 7, Json::Value(Json::objectValue));
        ASSERT_TRUE(bus_->InitSetting(testhost::ParseJson(
            R"({"acSetting":[{"data_id":11}],"dcSetting":[{"data_id":21}],"rcSetting":{}})")));
        for (const auto& c : bus_->GetAllChildVDevices())
            if (auto* ac = dynamic_cast<tvr27pkAC*>(c.get())) ac->SetTraceStream(nullptr);
    }

    // Answers every request until the round ends; false when it does not.
    bool PlayRound(float volts) {
        const auto answers = RoundAnswers(volts);
        const std::size_t published = ctl().published.size();
        bus_->SetLastUpdate(boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(10));
        if (!bus_->RefreshStatus()) return false;
        for (int k = 0; k < 12; ++k) {
            const testhost::Request r = ctl().requests.back();
            const Info& info = answers.at(r.cid1 << 8 | r.cid2);
            const std::vector<std::uint8_t> buf = testhost::Answer(r.cid1, info);
            bus_->DeliverAnswer(buf.data(), static_cast<unsigned>(buf.size()));
            if (ctl().published.size() != published) return ctl().published.size() == published + 3;
        }
        return false;
    }

    testhost::TestController& ctl() { return *host_.ctl; }

    testhost::Host host_;
    std::shared_ptr<tvr27pk> bus_;
};

TEST_F(Lifetime, WorkItemsRunAfterTheHostReleasedEverythingStillSaveTheRoundsImages) {
    ctl().queue_work = true;
    ASSERT_TRUE(PlayRound(230.0f));
    ASSERT_EQ(ctl().queued.size(), 3u);
    const std::vector<testhost::Snapshot> published = ctl().published;

    std::vector<std::weak_ptr<VNQVDevice>> children;
    for (const auto& c : bus_->GetAllChildVDevices()) children.push_back(c);
    std::weak_ptr<tvr27pk> bus = bus_;
    bus_.reset();
    EXPECT_TRUE(bus.expired());
    for (const auto& c : children) EXPECT_FALSE(c.expired()) << "the work items keep their devices";

    ctl().RunQueued();
    ASSERT_EQ(ctl().saved.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(ctl().saved[k].data_id, published[k].data_id);
        EXPECT_EQ(ctl().saved[k].bytes, published[k].bytes) << "image " << k;
    }
    // AC 32 + 30 per channel, DC 166, rectifiers 65 + 32 per module.
    EXPECT_EQ(ctl().saved[0].bytes.size(), 62u);
    EXPECT_EQ(ctl().saved[1].bytes.size(), 166u);
    EXPECT_EQ(ctl().saved[2].bytes.size(), 97u);
    EXPECT_FALSE(ctl().events.empty()) << "the module fault began";
    for (const auto& c : children) EXPECT_TRUE(c.expired()) << "the items ran and let their devices go";
}

TEST_F(Lifetime, WorkItemWhoseControllerIsGoneDoesNothing) {
    ctl().queue_work = true;
    ASSERT_TRUE(PlayRound(230.0f));
    std::vector<std::function<void()>> items = std::move(ctl().queued);
    ASSERT_EQ(items.size(), 3u);
    std::vector<std::weak_ptr<VNQVDevice>> children;
    for (const auto& c : bus_->GetAllChildVDevices()) children.push_back(c);
    std::weak_ptr<testhost::TestController> controller = host_.ctl;
    bus_.reset();
    host_.parent.reset();
    host_.ctl.reset();
    ASSERT_TRUE(controller.expired());
    for (auto& w : items) w();  // saves and evaluates nowhere, and must not fail
    for (const auto& c : children) EXPECT_FALSE(c.expired()) << "held by its item";
    items.clear();
    for (const auto& c : children) EXPECT_TRUE(c.expired()) << "released with its item";
}

TEST_F(Lifetime, ChildrenTheHostHoldsAnswerAndKeepWorkingAfterTheBusDeviceIsGone) {
    ASSERT_TRUE(PlayRound(231.0f));
    const auto all = bus_->GetAllChildVDevices();
    std::shared_ptr<VNQVDevice> ac = all[0], dc = all[1], rc = all[2];
    std::weak_ptr<tvr27pk> bus = bus_;
    bus_.reset();
    ASSERT_TRUE(bus.expired());

    EXPECT_FLOAT_EQ(ac->Get_Value(0, "channel_0_a"), 231.0f);
    EXPECT_FLOAT_EQ(ac->Get_Value(0, "channel_0_c"), 233.0f);
    EXPECT_FLOAT_EQ(ac->Get_Value(0, "ib"), 11.0f);
    EXPECT_FLOAT_EQ(dc->Get_Value(0, "v"), 231.0f / 4);
    try {
        rc->Get_Value(0, "v");
        ADD_FAILURE() << "the rectifier device answers no name";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "数据未就绪");
    }

    // Still bound to the host: a restore and a round end publish and save.
    ctl().Clear();
    const std::vector<std::uint8_t> image = [&] {
        ac->RoundDone();
        return ctl().published.back().bytes;
    }();
    ASSERT_TRUE(ac->LoadFromCache(image.data(), static_cast<int>(image.size())));
    ac->RoundDone();
    ASSERT_EQ(ctl().published.size(), 2u);
    EXPECT_EQ(ctl().saved.size(), 2u);
    EXPECT_EQ(ctl().published[1].data_id, 11u);
    EXPECT_FLOAT_EQ(ac->Get_Value(0, "channel_0_b"), 232.0f);
}

}  // namespace
