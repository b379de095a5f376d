// The rectifier device's host-facing entry points: construction, virtual
// slots, InitV, Get_Value and the restore from a cached snapshot.
#include "rc/rc_models.h"
#include "tests/support/test_host.h"
#include "tests/support/vtable_slot.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using boost::posix_time::second_clock;
using boost::posix_time::seconds;
using Bytes = std::vector<std::uint8_t>;
using testhost::InOneSecond;
using testhost::ParseJson;

template <typename T>
Bytes ImageOf(const T& rec) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&rec);
    return Bytes(p, p + sizeof rec);
}

Bytes DeviceImage(const tvr27pkRC& d) {
    Bytes b = ImageOf(d.Record());
    for (const auto& ch : d.Channels()) {
        const Bytes c = ImageOf(ch);
        b.insert(b.end(), c.begin(), c.end());
    }
    return b;
}

// A snapshot image: 65 group bytes whose module count is `count`, then
// `modules` module records; every byte but the count is distinct.
Bytes Image(std::uint8_t count, std::size_t modules) {
    Bytes b(65 + 32 * modules);
    for (std::size_t k = 0; k < b.size(); ++k) b[k] = static_cast<std::uint8_t>(k * 7 + 3);
    b[57] = count;
    return b;
}

TEST(RcDevice, ConstructorsSetTypeAndEmptyRecords) {
    static_assert(std::is_base_of_v<QZL4200RC, tvr27pkRC>, "tvr27pkRC is a QZL4200RC");
    static_assert(std::is_base_of_v<ChildDevice, QZL4200RC>, "the rectifier device is a ChildDevice");
    auto base = std::make_shared<QZL4200RC>();
    auto model = std::make_shared<tvr27pkRC>();
    EXPECT_EQ(base->DeviceType(), "qzl4200-rc");
    EXPECT_EQ(model->DeviceType(), "tvr27pk-rc");
    for (const QZL4200RC* d : {static_cast<QZL4200RC*>(base.get()), static_cast<QZL4200RC*>(model.get())}) {
        EXPECT_EQ(ImageOf(d->Record()), Bytes(65, 0));
        EXPECT_TRUE(d->Channels().empty());
        EXPECT_EQ(d->Snapshot(), nullptr);
        EXPECT_EQ(d->SnapshotLength(), 0u);
        EXPECT_EQ(d->DataValid(), 0);
    }
}

using testhost::SlotOf;

TEST(RcDevice, OwnOperationsFollowTheHostSlots) {
    using D = tvr27pkRC;
    EXPECT_EQ(SlotOf(&D::Get_Value), 0);
    EXPECT_EQ(SlotOf(static_cast<bool (D::*)(const unsigned char*, int)>(&D::LoadFromCache)), 2);
    EXPECT_EQ(SlotOf(&D::RoundDone), 6);
    EXPECT_EQ(SlotOf(&D::InitV), 11);
    EXPECT_EQ(SlotOf(&D::ClosePort), 30);
    EXPECT_EQ(SlotOf(&D::parse41_41), 31);
    EXPECT_EQ(SlotOf(&D::parse41_43), 32);
    EXPECT_EQ(SlotOf(&D::parse41_44), 33);
    EXPECT_EQ(SlotOf(&D::parse40_46), 34);
    EXPECT_EQ(SlotOf(&D::parse42_46), 35);
    EXPECT_EQ(SlotOf(&D::DoImpCheckAlert), 36);
}

TEST(RcDevice, InitVTakesTheGivenIdAndReadsNoKey) {
    testhost::Host host(100);
    for (const char* config : {"{}", R"({"data_id": 55, "appSetting": {"diff_v": "x"}})", "null", "[]"}) {
        SCOPED_TRACE(config);
        auto d = std::make_shared<tvr27pkRC>();
        EXPECT_TRUE(d->InitV(host.parent.get(), 100, ParseJson(config)));
        EXPECT_EQ(d->DataId(), 100u);
        EXPECT_EQ(d->Record().data_id, 100u);
        EXPECT_EQ(ImageOf(d->Record()).size(), 65u);
        EXPECT_EQ(d->Controller(), host.ctl);
    }
    // The id sits at offset 0 in the byte order of the platform.
    auto d = std::make_shared<tvr27pkRC>();
    ASSERT_TRUE(d->InitV(host.parent.get(), 0x01020304u, ParseJson("{}")));
    std::uint32_t stored;
    std::memcpy(&stored, ImageOf(d->Record()).data(), 4);
    EXPECT_EQ(stored, 0x01020304u);
    // Without a parent there is no controller, and the id is still taken.
    auto lone = std::make_shared<tvr27pkRC>();
    EXPECT_TRUE(lone->InitV(nullptr, 9, ParseJson("{}")));
    EXPECT_EQ(lone->Record().data_id, 9u);
    EXPECT_EQ(lone->Controller(), nullptr);
}

std::string Thrown(const tvr27pkRC& d, const std::string& name) {
    try {
        const float v = d.Get_Value(0, name);
        return "returned " + std::to_string(v);
    } catch (const std::out_of_range& e) {
        return e.what();
    }
}

TEST(RcDevice, GetValueAlwaysThrows) {
    auto d = std::make_shared<tvr27pkRC>();
    for (const char* name : {"v", "i", "", "channel_num"}) EXPECT_EQ(Thrown(*d, name), "数据未就绪") << name;
    d->RoundDone();  // no controller: nothing published, the data is valid and current

    struct Case {
        int age;  // seconds since the last update; negative: in the future
        const char* name;
        const char* text;
    };
    const Case cases[] = {
        {0, "v", "数据未就绪"},   {30, "i", "数据未就绪"},   {60, "v", "数据未就绪"},  {60, "x", "数据未就绪"},
        {61, "v", "数据已超时"},  {61, "i", "数据已超时"},   {3600, "", "数据已超时"}, {-1, "v", "数据未就绪"},
        {-120, "i", "数据未就绪"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.age) + " s, " + c.name);
        std::string got;
        InOneSecond([&] {
            d->SetLastUpdate(second_clock::local_time() - seconds(c.age));
            got = Thrown(*d, c.name);
        });
        EXPECT_EQ(got, c.text);
    }
    // Only the byte value 1 counts as valid, however old the data.
    d->SetDataValid(2);
    d->SetLastUpdate(second_clock::local_time() - seconds(3600));
    EXPECT_EQ(Thrown(*d, "v"), "数据未就绪");
}

struct Restore {
    bool result;
    std::string out;
};

Restore Load(tvr27pkRC& d, const Bytes& image) {
    testing::internal::CaptureStdout();
    const bool r = d.LoadFromCache(image.data(), static_cast<int>(image.size()));
    return {r, testing::internal::GetCapturedStdout()};
}

TEST(RcDevice, LoadFromCacheRestoresAMatchingImage) {
    struct Case {
        std::uint8_t count;
        const char* out;
    };
    const Case cases[] = {
        {0, "rc data_len:65 vs 65\nrc channelLen 32 and 0 left:0\n"},
        {1, "rc data_len:97 vs 65\nrc channelLen 32 and 1 left:32\n"},
        {3, "rc data_len:161 vs 65\nrc channelLen 32 and 3 left:96\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.count));
        auto d = std::make_shared<tvr27pkRC>();
        const Bytes image = Image(c.count, c.count);
        Restore r;
        InOneSecond([&] { r = Load(*d, image); });
        EXPECT_TRUE(r.result);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(DeviceImage(*d), image);
        EXPECT_EQ(d->Channels().size(), c.count);
        EXPECT_EQ(d->DataValid(), 1);
        EXPECT_EQ(d->LastUpdate(), second_clock::local_time());
    }
}

TEST(RcDevice, LoadFromCacheRefusesShortOrInconsistentImagesAndChangesNothing) {
    struct Case {
        Bytes image;
        const char* out;
    };
    Bytes cut = Image(2, 2);
    cut.pop_back();
    const Case cases[] = {
        {Bytes(), "rc data_len:0 vs 65\n"},
        {Bytes(64, 0x01), "rc data_len:64 vs 65\n"},
        {cut, "rc data_len:128 vs 65\nrc channelLen 32 and 2 left:63\n"},
        {Image(2, 1), "rc data_len:97 vs 65\nrc channelLen 32 and 2 left:32\n"},
        {Image(2, 3), "rc data_len:161 vs 65\nrc channelLen 32 and 2 left:96\n"},
        {Image(0, 1), "rc data_len:97 vs 65\nrc channelLen 32 and 0 left:32\n"},
    };
    for (const auto& c : cases) {
        const Bytes& image = c.image;
        SCOPED_TRACE(image.size());
        testhost::Host host;
        auto d = std::make_shared<tvr27pkRC>();
        ASSERT_TRUE(d->InitV(host.parent.get(), 12, ParseJson("{}")));
        // A device holding one module and its data.
        const Bytes prior = Image(1, 1);
        ASSERT_TRUE(Load(*d, prior).result);
        d->SetDataValid(0);
        d->SetLastUpdate(boost::posix_time::ptime());

        const Restore r = Load(*d, image);
        EXPECT_FALSE(r.result);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(DeviceImage(*d), prior);
        EXPECT_EQ(d->DataValid(), 0);
        EXPECT_TRUE(d->LastUpdate().is_special());
        EXPECT_TRUE(host.ctl->logs.empty());
    }
}

TEST(RcDevice, TextFormOfLoadFromCacheReachesTheByteForm) {
    auto d = std::make_shared<tvr27pkRC>();
    const Bytes image = Image(1, 1);
    testing::internal::CaptureStdout();
    const bool ok = d->LoadFromCache(std::string(image.begin(), image.end()));
    const bool empty = d->LoadFromCache(std::string());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ok);
    EXPECT_FALSE(empty);
    EXPECT_EQ(out, "rc data_len:97 vs 65\nrc channelLen 32 and 1 left:32\nrc data_len:0 vs 65\n");
    EXPECT_EQ(DeviceImage(*d), image);
}

TEST(RcDevice, RestoredCountIsTheAdoptedCount) {
    auto d = std::make_shared<tvr27pkRC>();
    ASSERT_TRUE(Load(*d, Image(1, 1)).result);
    // 41_41 with another count is refused; with the restored one it decodes.
    Bytes two{0x00, 1, 2, 3, 4, 2};
    for (int k = 0; k < 2; ++k) two.insert(two.end(), {9, 9, 9, 9, 4, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    EXPECT_EQ(d->parse41_41(two.data(), static_cast<int>(two.size())), -1);
    Bytes one(two.begin(), two.begin() + 27);
    one[5] = 1;
    EXPECT_EQ(d->parse41_41(one.data(), static_cast<int>(one.size())), 27);
    EXPECT_EQ(d->Record().channel_num, 1);

    // A restored count of 0 leaves the count open.
    auto e = std::make_shared<tvr27pkRC>();
    ASSERT_TRUE(Load(*e, Image(0, 0)).result);
    EXPECT_EQ(e->parse41_41(two.data(), static_cast<int>(two.size())), 48);
    EXPECT_EQ(e->Record().channel_num, 2);
    EXPECT_EQ(e->Channels().size(), 2u);

    // A restore replaces an adopted count, and the module list follows it.
    ASSERT_TRUE(Load(*e, Image(3, 3)).result);
    EXPECT_EQ(e->Channels().size(), 3u);
    EXPECT_EQ(e->parse41_41(two.data(), static_cast<int>(two.size())), -1);
}

}  // namespace
