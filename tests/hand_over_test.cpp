// The end-of-round hand-over's block: it comes back to its device when the
// work item is destroyed and serves the next round, a copied item owns a
// copy, and an item that never runs still lets its device go.
#include "dc/dc_models.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace {

using testhost::FloatBytes;
using testhost::ParseJson;

// Gives the unit a 42_41 block with voltage v and empty lists.
void Voltage(tvr27pkDC& dev, float v) {
    std::vector<std::uint8_t> b = FloatBytes(v);
    const auto i = FloatBytes(1.0f);
    b.insert(b.end(), i.begin(), i.end());
    b.insert(b.end(), {0, 0, 0});
    ASSERT_EQ(dev.parse42_41(b.data(), static_cast<int>(b.size())), static_cast<int>(b.size()));
}

class HandOver : public ::testing::Test {
protected:
    void SetUp() override {
        dev = std::make_shared<tvr27pkDC>("dc");
        ASSERT_TRUE(dev->InitV(host.parent.get(), 40, ParseJson("{}")));
        host.ctl->queue_work = true;
    }
    testhost::Host host;
    std::shared_ptr<tvr27pkDC> dev;
};

TEST_F(HandOver, ARunItemsListServesTheNextRound) {
    dev->RoundDone();
    ASSERT_EQ(host.ctl->queued.size(), 1u);
    const std::size_t room = dev->PendingRules().capacity();
    ASSERT_GE(room, 2u);
    host.ctl->RunQueued();  // runs and destroys the item: its block comes back

    dev->RoundDone();
    EXPECT_TRUE(dev->PendingRules().empty());
    EXPECT_GE(dev->PendingRules().capacity(), 2u);
    host.ctl->RunQueued();
    ASSERT_EQ(host.ctl->saved.size(), 2u);
    EXPECT_EQ(host.ctl->saved[0].bytes.size(), host.ctl->saved[1].bytes.size());
    EXPECT_EQ(host.ctl->rules.size(), 4u) << "two voltage rules a round";
}

TEST_F(HandOver, ACopiedItemOwnsItsOwnRulesAndImage) {
    Voltage(*dev, 10.0f);
    dev->RoundDone();
    ASSERT_EQ(host.ctl->queued.size(), 1u);
    std::function<void()> copy = host.ctl->queued[0];
    host.ctl->RunQueued();  // the original runs and goes; its block is recycled
    Voltage(*dev, 20.0f);
    dev->RoundDone();       // the next round takes that block
    host.ctl->RunQueued();
    ASSERT_EQ(host.ctl->saved.size(), 2u);
    ASSERT_NE(host.ctl->saved[0].bytes, host.ctl->saved[1].bytes);

    copy();  // still the first round's image
    ASSERT_EQ(host.ctl->saved.size(), 3u);
    EXPECT_EQ(host.ctl->saved[2].bytes, host.ctl->saved[0].bytes);
}

TEST_F(HandOver, AnItemThatNeverRunsLetsItsDeviceGo) {
    dev->RoundDone();
    dev->RoundDone();  // the first block has not come back: a second is made
    ASSERT_EQ(host.ctl->queued.size(), 2u);
    std::weak_ptr<tvr27pkDC> watch = dev;
    dev.reset();
    EXPECT_FALSE(watch.expired());
    host.ctl->queued.clear();
    EXPECT_TRUE(watch.expired());
    EXPECT_TRUE(host.ctl->saved.empty());
}

}  // namespace
