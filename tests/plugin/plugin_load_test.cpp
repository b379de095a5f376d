// Loads the built plug-in as the host does (dlopen, dlsym "get_providers")
// and drives one complete polling round through the devices it creates.
#include "host/pmbus_protocol.h"
#include "host/provider.h"
#include "tests/support/test_host.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#ifndef PMB_PLUGIN_PATH
#error "PMB_PLUGIN_PATH names the plug-in under test"
#endif

namespace {

using Providers = std::vector<std::shared_ptr<Provider>>;
using GetProviders = Providers (*)();
using Bytes = std::vector<std::uint8_t>;

class Plugin : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        handle_ = dlopen(PMB_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        get_ = reinterpret_cast<GetProviders>(dlsym(handle_, "get_providers"));
        ASSERT_NE(get_, nullptr) << dlerror();
    }
    // The library stays loaded: devices and providers made by it may still
    // be alive in static storage of the test framework.
    static void* handle_;
    static GetProviders get_;
};
void* Plugin::handle_ = nullptr;
GetProviders Plugin::get_ = nullptr;

std::shared_ptr<VNQSPDevice> Create(const Provider& p) {
    auto* factory = dynamic_cast<const VNQSPDeviceProvider*>(&p);
    if (!factory) return nullptr;
    return std::shared_ptr<VNQSPDevice>(factory->create());
}

TEST_F(Plugin, TwoCallsGiveTwoSetsOfFourProvidersInOrder) {
    const Providers a = get_();
    const Providers b = get_();
    ASSERT_EQ(a.size(), 4u);
    ASSERT_EQ(b.size(), 4u);
    std::set<const Provider*> distinct;
    for (const auto& p : a) distinct.insert(p.get());
    for (const auto& p : b) distinct.insert(p.get());
    EXPECT_EQ(distinct.size(), 8u);
    const char* types[] = {"tvr27pk", "tvr27pk-ac", "tvr27pk-dc", "tvr27pk-rc"};
    for (int i = 0; i < 4; ++i) {
        auto d1 = Create(*a[i]);
        auto d2 = Create(*b[i]);
        ASSERT_TRUE(d1 && d2) << i;
        EXPECT_EQ(d1->DeviceType(), types[i]);
        EXPECT_EQ(d2->DeviceType(), types[i]);
        EXPECT_NE(d1.get(), d2.get());
        auto d3 = Create(*a[i]);
        EXPECT_NE(d1.get(), d3.get());
    }
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes F(float f) { return testhost::FloatBytes(f); }
Bytes N(std::size_t n, std::uint8_t v = 0) { return Bytes(n, v); }

TEST_F(Plugin, OneCompleteRoundThroughTheLoadedLibrary) {
    testhost::Host host;
    auto& ctl = *host.ctl;
    const Providers providers = get_();
    std::shared_ptr<VNQSPDevice> made = Create(*providers[0]);
    auto bus = std::dynamic_pointer_cast<PMBusProtocol>(made);
    ASSERT_TRUE(bus);

    const Json::Value cfg = testhost::ParseJson(R"({
        "acSetting": [{"data_id": 11}],
        "dcSetting": [{"data_id": 21}],
        "rcSetting": {}
    })");
    ASSERT_TRUE(bus->Init(host.ctl, 1, cfg));
    ASSERT_TRUE(bus->InitSetting(cfg));
    const auto children = bus->GetAllChildVDevices();
    ASSERT_EQ(children.size(), 3u);
    EXPECT_EQ(children[0]->DeviceType(), "tvr27pk-ac");
    EXPECT_EQ(children[1]->DeviceType(), "tvr27pk-dc");
    EXPECT_EQ(children[2]->DeviceType(), "tvr27pk-rc");

    // Model check first, then every group in full (the bus device's own
    // data-valid byte is not 1).
    ASSERT_TRUE(bus->RefreshStatus());
    ASSERT_EQ(ctl.requests.size(), 1u);
    EXPECT_EQ(ctl.requests[0].cid1, 0x40);
    EXPECT_EQ(ctl.requests[0].cid2, 0x51);

    Bytes model(20, 0);
    const std::string name = "tvr27pk";
    std::copy(name.begin(), name.end(), model.begin());

    struct Exchange {
        std::uint8_t cid1;
        Bytes info;
        std::uint8_t nextCid1, nextCid2;  // request sent in answer; 0 at the round end
    };
    const Exchange round[] = {
        {0x40, model, 0x40, 0x41},
        // 40_41: DATAFLAG, then the AC part: 1 channel (a, b, c, f, P=0), ia, ib, ic
        {0x40, Cat({{0x11, 1}, F(220.5f), F(221.0f), F(219.5f), F(50.0f), {0}, F(10.0f), F(11.0f), F(12.0f)}), 0x40, 0x44},
        // 40_44: one leading byte, count, channel states with m=0 and p=8, phase states
        {0x40, Cat({{0x00, 1}, {0, 2, 0, 0}, {0}, {8}, N(8), {0, 0, 3}}), 0x41, 0x41},
        // 41_41: DATAFLAG, group value, 1 module (value, P=4, four values)
        {0x41, Cat({{0x11}, F(53.5f), {1}, F(30.0f), {4}, N(16)}), 0x41, 0x43},
        {0x41, Cat({{0x00, 1}, {0, 0, 0}, {1}, {0}}), 0x41, 0x44},
        {0x41, Cat({{0x00, 1}, {1}, {4}, N(4)}), 0x42, 0x41},
        // 42_41: DATAFLAG, count, v, i, m=0, n=0, p=0
        {0x42, Cat({{0x11, 1}, F(53.5f), F(120.0f), {0}, {0}, {0}}), 0x42, 0x44},
        // 42_44: DATAFLAG, count, v_alert, 64 fuse bytes (the sixth faulty), p=0
        {0x42, Cat({{0x00, 1}, {1}, {64}, N(5), {3}, N(58), {0}}), 0x40, 0x46},
        {0x40, Cat({N(20), {0}}), 0x42, 0x46},
        {0x42, Cat({N(8), {5}, N(20)}), 0, 0},
    };
    for (const auto& ex : round) {
        const std::size_t before = ctl.requests.size();
        const Bytes answer = testhost::Answer(ex.cid1, ex.info);
        const int r = bus->DeliverAnswer(answer.data(), static_cast<unsigned>(answer.size()));
        if (ex.nextCid1 == 0) {
            EXPECT_EQ(r, 0);
            EXPECT_EQ(ctl.requests.size(), before);
        } else {
            EXPECT_EQ(r, 1);
            ASSERT_EQ(ctl.requests.size(), before + 1) << "after an answer to CID1 " << int(ex.cid1);
            EXPECT_EQ(ctl.requests.back().cid1, ex.nextCid1);
            EXPECT_EQ(ctl.requests.back().cid2, ex.nextCid2);
        }
    }
    EXPECT_EQ(bus->CommandStep(), 0u);
    EXPECT_EQ(ctl.resets, 1);

    // One snapshot per child, in round-end order, with the record sizes.
    ASSERT_EQ(ctl.published.size(), 3u);
    EXPECT_EQ(ctl.published[0].type_number, 5106);
    EXPECT_EQ(ctl.published[0].bytes.size(), 32u + 30u);
    EXPECT_EQ(ctl.published[1].type_number, 5108);
    EXPECT_EQ(ctl.published[1].bytes.size(), 166u);
    EXPECT_EQ(ctl.published[2].type_number, 5107);
    EXPECT_EQ(ctl.published[2].bytes.size(), 65u + 32u);
    EXPECT_EQ(ctl.saved.size(), 3u);

    // Rules: 11 + 9 AC, 2 + 64 DC, 1 rectifier.
    EXPECT_EQ(ctl.rules.size(), 20u + 66u + 1u);
    auto active = [&](const char* key, std::uint32_t id) {
        for (const auto& r : ctl.rules)
            if (r.key == key && r.data_id == id && r.active) return true;
        return false;
    };
    EXPECT_TRUE(active("AC_5", 11));   // b_alert 2: voltage BC/B high
    EXPECT_TRUE(active("AC_20", 11));  // ic_alert 3: phase C current missing
    EXPECT_TRUE(active("DC_0", 21));   // v_alert 1
    EXPECT_TRUE(active("DC_3", 21));   // sixth fuse
    EXPECT_TRUE(active("RC_0", 1));    // module fault
    EXPECT_FALSE(active("AC_0", 11));

    // Signals read through the loaded devices.
    EXPECT_FLOAT_EQ(children[0]->Get_Value(0, "channel_0_a"), 220.5f);
    EXPECT_FLOAT_EQ(children[0]->Get_Value(0, "ic"), 12.0f);
    EXPECT_FLOAT_EQ(children[1]->Get_Value(0, "i"), 120.0f);
    EXPECT_THROW(children[2]->Get_Value(0, "v"), std::out_of_range);
}

}  // namespace
