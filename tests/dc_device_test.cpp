// The DC device's host-facing entry points: construction, virtual slots,
// configuration, restore from the cache and signal lookup.
#include "dc/dc_models.h"
#include "tests/support/test_host.h"
#include "tests/support/vtable_slot.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/value.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Packed record fields are read by value: gtest takes its arguments by reference.
template <typename T>
T Val(T x) {
    return x;
}

using boost::posix_time::seconds;
using boost::posix_time::second_clock;
using testhost::InOneSecond;
using testhost::ParseJson;

std::vector<std::uint8_t> ImageOf(const tele_c_qzl4200_dc& r) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&r);
    return std::vector<std::uint8_t>(p, p + sizeof r);
}

TEST(DcDevice, ConstructorsSetTypeNameAndDefaults) {
    struct Case {
        const char* what;
        std::function<std::shared_ptr<QZL4200DC>()> make;
        const char* type;
        const char* name;
    };
    const Case cases[] = {
        {"QZL4200DC()", [] { return std::make_shared<QZL4200DC>(); }, "qzl4200-dc", ""},
        {"QZL4200DC(name)", [] { return std::make_shared<QZL4200DC>("unit-a"); }, "qzl4200-dc", "unit-a"},
        {"tvr27pkDC()", [] { return std::make_shared<tvr27pkDC>(); }, "tvr27pk-dc", ""},
        {"tvr27pkDC(name) keeps no name", [] { return std::make_shared<tvr27pkDC>("unit-b"); }, "tvr27pk-dc",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto dev = c.make();
        EXPECT_EQ(dev->DeviceType(), c.type);
        EXPECT_EQ(dev->Name(), c.name);
        EXPECT_FLOAT_EQ(dev->DiffV(), 0.1f);
        EXPECT_FLOAT_EQ(dev->DiffI(), 20.0f);
        EXPECT_EQ(ImageOf(dev->Record()), std::vector<std::uint8_t>(166, 0));
        EXPECT_EQ(dev->DataValid(), 0);
    }
}

using testhost::SlotOf;

TEST(DcDevice, OwnOperationsFollowTheHostSlots) {
    using D = tvr27pkDC;
    EXPECT_EQ(SlotOf(&D::Get_Value), 0);
    EXPECT_EQ(SlotOf(static_cast<bool (D::*)(const unsigned char*, int)>(&D::LoadFromCache)), 2);
    EXPECT_EQ(SlotOf(&D::RoundDone), 6);
    EXPECT_EQ(SlotOf(&D::InitV), 11);
    EXPECT_EQ(SlotOf(&D::ClosePort), 30);
    EXPECT_EQ(SlotOf(&D::parse42_41), 31);
    EXPECT_EQ(SlotOf(&D::parse42_44), 32);
    EXPECT_EQ(SlotOf(&D::DoImpCheckAlert), 33);
}

TEST(DcDevice, InitVTakesIdAndDeadBands) {
    struct Case {
        const char* config;
        float diffV, diffI;
    };
    const Case cases[] = {
        {R"({"data_id": 31})", 0.1f, 20.0f},
        {R"({"appSetting": {"diff_v": "0.5"}})", 0.5f, 20.0f},
        {R"({"appSetting": {"diff_v": 2, "diff_i": 7.5}})", 2.0f, 7.5f},
        {R"({"appSetting": {"diff_v": "  3.25xyz", "diff_i": "12"}})", 3.25f, 12.0f},
        {R"({"appSetting": {"diff_i": "abc"}})", 0.1f, 0.0f},
        {R"({"appSetting": {"diff_v": ""}})", 0.0f, 20.0f},
        {R"({"appSetting": {"diff_v": null}})", 0.1f, 20.0f},
        {R"({"appSetting": [1, 2]})", 0.1f, 20.0f},
        {R"({"appSetting": "diff_v"})", 0.1f, 20.0f},
        {R"({"appSetting": null})", 0.1f, 20.0f},
        {"null", 0.1f, 20.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        testhost::Host host;
        auto dev = std::make_shared<tvr27pkDC>("dc");
        EXPECT_TRUE(dev->InitV(host.parent.get(), 31, ParseJson(c.config)));
        EXPECT_EQ(Val(dev->Record().data_id), 31u);
        EXPECT_EQ(dev->DataId(), 31u);
        EXPECT_EQ(dev->Controller(), host.ctl) << "bound to the parent's controller";
        EXPECT_FLOAT_EQ(dev->DiffV(), c.diffV);
        EXPECT_FLOAT_EQ(dev->DiffI(), c.diffI);
    }
}

TEST(DcDevice, InitVWithAnUnreadableElementFailsAfterStoringTheId) {
    // A dead band that cannot be text, or an element that is no object: the
    // JSON library's error reaches the caller.
    for (const char* config : {R"({"appSetting": {"diff_v": [1]}})", "[1, 2]", R"("dc")", "7"}) {
        SCOPED_TRACE(config);
        testhost::Host host;
        auto dev = std::make_shared<tvr27pkDC>("dc");
        EXPECT_THROW(dev->InitV(host.parent.get(), 44, ParseJson(config)), Json::Exception);
        EXPECT_EQ(Val(dev->Record().data_id), 44u);
        EXPECT_EQ(dev->DataId(), 0u) << "the host base was not reached";
        EXPECT_EQ(dev->Controller(), nullptr);
    }
}

TEST(DcDevice, LoadFromCacheTakesExactlyOneRecord) {
    testhost::Host host;
    auto dev = std::make_shared<tvr27pkDC>("dc");
    ASSERT_TRUE(dev->InitV(host.parent.get(), 5, ParseJson("{}")));
    std::vector<std::uint8_t> image(166);
    for (std::size_t k = 0; k < image.size(); ++k) image[k] = static_cast<std::uint8_t>(k * 7 + 1);
    const float v = 53.25f;
    std::memcpy(image.data() + 4, &v, 4);

    const auto initial = ImageOf(dev->Record());
    for (int len : {0, 1, 165, 167}) {
        SCOPED_TRACE(len);
        std::vector<std::uint8_t> bytes(image);
        bytes.resize(static_cast<std::size_t>(len), 0xAB);
        EXPECT_FALSE(dev->LoadFromCache(bytes.data(), len));
        EXPECT_EQ(ImageOf(dev->Record()), initial);
        EXPECT_EQ(dev->DataValid(), 0);
        EXPECT_TRUE(dev->LastUpdate().is_not_a_date_time());
    }
    EXPECT_FALSE(dev->LoadFromCache(nullptr, 166));
    EXPECT_TRUE(host.ctl->logs.empty());

    bool ok = false;
    boost::posix_time::ptime now;
    InOneSecond([&] {
        now = second_clock::local_time();
        ok = dev->LoadFromCache(image.data(), 166);
    });
    EXPECT_TRUE(ok);
    EXPECT_EQ(ImageOf(dev->Record()), image) << "data_id and ttime come from the image too";
    EXPECT_EQ(dev->DataValid(), 1);
    EXPECT_EQ(dev->LastUpdate(), now);
    EXPECT_EQ(dev->Get_Value(0, "v"), 53.25f);

    // The text form reaches the same operation.
    auto other = std::make_shared<QZL4200DC>();
    EXPECT_TRUE(other->LoadFromCache(std::string(image.begin(), image.end())));
    EXPECT_FALSE(other->LoadFromCache(std::string()));
    EXPECT_EQ(ImageOf(other->Record()), image);
}

// "ok <value>" or the text of the out_of_range raised.
std::string Outcome(const std::function<float()>& f) {
    try {
        return "ok " + std::to_string(f());
    } catch (const std::out_of_range& e) {
        return e.what();
    }
}

TEST(DcDevice, GetValueChecksFreshnessBeforeTheName) {
    auto dev = std::make_shared<tvr27pkDC>("dc");
    std::vector<std::uint8_t> image(166, 0);
    const float v = 48.5f, i = -3.0f;
    std::memcpy(image.data() + 4, &v, 4);
    std::memcpy(image.data() + 8, &i, 4);

    for (const char* name : {"v", "i", "x"})
        EXPECT_EQ(Outcome([&] { return dev->Get_Value(0, name); }), "数据未就绪") << name;
    ASSERT_TRUE(dev->LoadFromCache(image.data(), 166));

    struct Case {
        int age;  // seconds since the last update; negative: in the future
        const char* name;
        std::string outcome;
    };
    const Case cases[] = {
        {0, "v", "ok 48.500000"},       {30, "v", "ok 48.500000"},   {30, "i", "ok -3.000000"},
        {60, "v", "ok 48.500000"},      {60, "i", "ok -3.000000"},   {61, "v", "数据已超时"},
        {61, "i", "数据已超时"},        {3600, "v", "数据已超时"},   {-120, "v", "ok 48.500000"},
        {30, "V", "数据未就绪"},        {30, "", "数据未就绪"},      {30, "vi", "数据未就绪"},
        {61, "V", "数据已超时"},        {61, "unknown", "数据已超时"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.age) + " s, " + c.name);
        std::string got;
        InOneSecond([&] {
            dev->SetLastUpdate(second_clock::local_time() - seconds(c.age));
            got = Outcome([&] { return dev->Get_Value(0, c.name); });
        });
        EXPECT_EQ(got, c.outcome);
    }

    // Only the byte value 1 counts as valid.
    dev->SetDataValid(2);
    dev->SetLastUpdate(second_clock::local_time());
    EXPECT_EQ(Outcome([&] { return dev->Get_Value(0, "v"); }), "数据未就绪");
}

}  // namespace
