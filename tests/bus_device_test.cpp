// The bus device's configuration, child lookup, cache restore and lifetime,
// over small children that record how they were made and configured.
#include "bus/pmbus_power.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>
#include <json/value.h>
#include <json/writer.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using testhost::ParseJson;

constexpr std::uint32_t kBusId = 7;

// One construction or InitV of a child, in the order they happened.
struct Made {
    std::string what;  // "AC", "DC(<text>)", "RC"
    const VNQVDevice* self;
    const VNQVDevice* parent;
    std::uint32_t id;
    std::string config;  // the element it was configured with, compact JSON
};
std::vector<Made>* journal = nullptr;

std::string Compact(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return Json::writeString(b, v);
}

class Child : public VNQSPDevice {
public:
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    void RoundDone() override { ++rounds; }
    bool InitV(VNQVDevice* parent, std::uint32_t id, const Json::Value& config) override {
        journal->push_back({what_, this, parent, id, Compact(config)});
        VNQVDevice::InitV(parent, id, config);
        return false;  // the bus device ignores the result
    }
    int rounds = 0;

protected:
    explicit Child(std::string what) : what_(std::move(what)) {}

private:
    std::string what_;
};

class AC : public Child {
public:
    AC() : Child("AC") {}
    virtual int parse40_41(const unsigned char*, int) { return -1; }
    virtual int parse40_43(const unsigned char*, int) { return -1; }
    virtual int parse40_44(const unsigned char*, int) { return -1; }
};
class DC : public Child {
public:
    explicit DC(const std::string& text) : Child("DC(" + text + ")") {}
    virtual int parse42_41(const unsigned char*, int) { return -1; }
    virtual int parse42_44(const unsigned char*, int) { return -1; }
};
class RC : public Child {
public:
    RC() : Child("RC") {}
    virtual int parse41_41(const unsigned char*, int) { return -1; }
    virtual int parse41_43(const unsigned char*, int) { return -1; }
    virtual int parse41_44(const unsigned char*, int) { return -1; }
    virtual int parse40_46(const unsigned char*, int) { return -1; }
    virtual int parse42_46(const unsigned char*, int) { return -1; }
};

using Bus = PMBusPower<AC, DC, RC>;

class BusDevice : public ::testing::Test {
protected:
    void SetUp() override { journal = &made_; }
    void TearDown() override { journal = nullptr; }

    std::shared_ptr<Bus> Make() {
        auto bus = std::make_shared<Bus>(std::vector<std::string>{"tvr27pk"});
        bus->Init(host_.ctl, kBusId, Json::Value(Json::objectValue));
        return bus;
    }

    // "AC 11, AC 12, DC 21, RC 7": the kind and data id of every child.
    static std::string Describe(const std::vector<std::shared_ptr<VNQVDevice>>& all) {
        std::string s;
        for (const auto& c : all) {
            if (!s.empty()) s += ", ";
            if (!c) {
                s += "empty";
                continue;
            }
            const char* kind = dynamic_cast<const AC*>(c.get())   ? "AC"
                               : dynamic_cast<const DC*>(c.get()) ? "DC"
                               : dynamic_cast<const RC*>(c.get()) ? "RC"
                                                                  : "?";
            s += std::string(kind) + " " + std::to_string(c->DataId());
        }
        return s;
    }

    std::string Journal() const {
        std::string s;
        for (const auto& m : made_) {
            if (!s.empty()) s += " | ";
            s += m.what + " " + std::to_string(m.id) + " " + m.config;
        }
        return s;
    }

    testhost::Host host_;
    std::vector<Made> made_;
};

TEST_F(BusDevice, InitSettingCreatesAndConfiguresTheChildrenInOrder) {
    struct Case {
        const char* what;
        const char* config;
        bool result;
        const char* children;  // GetAllChildVDevices
        const char* journal;   // InitV calls: kind, id, element
    };
    const Case cases[] = {
        {"two AC, one DC, rectifier",
         R"({"acSetting":[{"data_id":11,"x":1},{"data_id":12}],"dcSetting":[{"data_id":21}],"rcSetting":{"r":2}})",
         true, "AC 11, AC 12, DC 21, RC 7",
         R"(AC 11 {"data_id":11,"x":1} | AC 12 {"data_id":12} | DC() 21 {"data_id":21} | RC 7 {"r":2})"},
        {"acSetting an object: no AC children", R"({"acSetting":{"data_id":11},"rcSetting":{}})", true, "RC 7",
         "RC 7 {}"},
        {"dcSetting a number: no DC children", R"({"dcSetting":3,"acSetting":[{"data_id":1}],"rcSetting":{}})",
         true, "AC 1, RC 7", R"(AC 1 {"data_id":1} | RC 7 {})"},
        {"rcSetting a number", R"({"rcSetting":5})", true, "RC 7", "RC 7 5"},
        {"rcSetting false", R"({"rcSetting":false})", true, "RC 7", "RC 7 false"},
        {"rcSetting an empty array", R"({"rcSetting":[]})", true, "RC 7", "RC 7 []"},
        {"no data_id gives 0, a null element too", R"({"acSetting":[{},null],"rcSetting":{}})", true,
         "AC 0, AC 0, RC 7", "AC 0 {} | AC 0 null | RC 7 {}"},
        {"empty arrays", R"({"acSetting":[],"dcSetting":[],"rcSetting":{}})", true, "RC 7", "RC 7 {}"},
        {"no rcSetting: false, the others stay",
         R"({"acSetting":[{"data_id":11}],"dcSetting":[{"data_id":21}]})", false, "AC 11, DC 21, empty",
         R"(AC 11 {"data_id":11} | DC() 21 {"data_id":21})"},
        {"null rcSetting", R"({"acSetting":[{"data_id":11}],"rcSetting":null})", false, "AC 11, empty",
         R"(AC 11 {"data_id":11})"},
        {"configuration not an object", R"([{"acSetting":[{"data_id":11}],"rcSetting":{}}])", false, "empty", ""},
        {"null configuration", "null", false, "empty", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        made_.clear();
        auto bus = Make();
        EXPECT_EQ(bus->InitSetting(ParseJson(c.config)), c.result);
        EXPECT_EQ(Describe(bus->GetAllChildVDevices()), c.children);
        EXPECT_EQ(Journal(), c.journal);
        for (const auto& m : made_) EXPECT_EQ(m.parent, bus.get()) << m.what;
    }
}

TEST_F(BusDevice, JsonTypeErrorsPropagateAndEarlierChildrenStay) {
    struct Case {
        const char* what;
        const char* config;
        const char* children;  // after the error
    };
    const Case cases[] = {
        {"AC element that is not an object", R"({"acSetting":[{"data_id":11},5],"rcSetting":{}})", "AC 11, empty"},
        {"AC data_id text", R"({"acSetting":[{"data_id":11},{"data_id":"x"}],"rcSetting":{}})", "AC 11, empty"},
        {"AC data_id negative", R"({"acSetting":[{"data_id":-1}],"rcSetting":{}})", "empty"},
        {"DC element an array", R"({"acSetting":[{"data_id":11}],"dcSetting":[{"data_id":21},[1]],"rcSetting":{}})",
         "AC 11, DC 21, empty"},
        {"DC data_id an object",
         R"({"acSetting":[{"data_id":11}],"dcSetting":[{"data_id":{}}],"rcSetting":{}})", "AC 11, empty"},
        {"DC data_id beyond 32 bits", R"({"dcSetting":[{"data_id":4294967296}],"rcSetting":{}})", "empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto bus = Make();
        EXPECT_THROW(bus->InitSetting(ParseJson(c.config)), Json::LogicError);
        EXPECT_EQ(Describe(bus->GetAllChildVDevices()), c.children);
    }
}

TEST_F(BusDevice, InitSettingAgainAppendsAndReplacesTheRectifier) {
    auto bus = Make();
    const auto cfg = ParseJson(R"({"acSetting":[{"data_id":11}],"dcSetting":[{"data_id":21}],"rcSetting":{}})");
    ASSERT_TRUE(bus->InitSetting(cfg));
    std::weak_ptr<VNQVDevice> firstRc = bus->GetAllChildVDevices().back();
    ASSERT_TRUE(bus->InitSetting(cfg));
    EXPECT_EQ(Describe(bus->GetAllChildVDevices()), "AC 11, AC 11, DC 21, DC 21, RC 7");
    EXPECT_TRUE(firstRc.expired());
}

TEST_F(BusDevice, GetChildVDeviceReturnsTheFirstMatchAndNeverTheRectifier) {
    auto bus = Make();
    ASSERT_TRUE(bus->InitSetting(ParseJson(
        R"({"acSetting":[{"data_id":5},{"data_id":6},{"data_id":6}],"dcSetting":[{"data_id":5},{"data_id":8},{"data_id":8}],"rcSetting":{}})")));
    const auto all = bus->GetAllChildVDevices();
    ASSERT_EQ(all.size(), 7u);
    struct Case {
        std::uint32_t id;
        int index;  // into GetAllChildVDevices, -1 for none
    };
    const Case cases[] = {{5, 0}, {6, 1}, {8, 4}, {kBusId, -1}, {0, -1}, {9, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        const auto found = bus->GetChildVDevice(c.id);
        if (c.index < 0)
            EXPECT_EQ(found, nullptr);
        else
            EXPECT_EQ(found, all[static_cast<std::size_t>(c.index)]);
    }

    // The bus device's own id finds an AC or DC child that carries it.
    auto other = Make();
    ASSERT_TRUE(other->InitSetting(ParseJson(R"({"dcSetting":[{"data_id":7}],"rcSetting":{}})")));
    const auto found = other->GetChildVDevice(kBusId);
    ASSERT_NE(found, nullptr);
    EXPECT_NE(dynamic_cast<DC*>(found.get()), nullptr);
}

TEST_F(BusDevice, DcChildrenAreMadeWithTheModelTextReadSoFar) {
    auto bus = Make();
    const auto cfg = ParseJson(R"({"dcSetting":[{"data_id":21}],"rcSetting":{}})");
    ASSERT_TRUE(bus->InitSetting(cfg));
    ASSERT_TRUE(bus->RefreshStatus());  // the model request
    std::vector<std::uint8_t> model = {'t', 'v', 'r', '2', '7', 'p', 'k'};
    model.resize(20, ' ');
    const auto answer = testhost::Answer(0x40, model);
    ASSERT_EQ(bus->DeliverAnswer(answer.data(), static_cast<unsigned>(answer.size())), 1);
    made_.clear();
    ASSERT_TRUE(bus->InitSetting(cfg));
    ASSERT_FALSE(made_.empty());
    EXPECT_EQ(made_[0].what, "DC(" + std::string(model.begin(), model.end()) + ")");
}

TEST_F(BusDevice, HostDefaultsAndCacheRestore) {
    auto bus = Make();
    ASSERT_TRUE(bus->InitSetting(ParseJson(R"({"acSetting":[{"data_id":11}],"rcSetting":{}})")));
    EXPECT_TRUE(bus->LoadFromCache(nullptr, 0));
    const unsigned char bytes[] = {1, 2, 3};
    EXPECT_TRUE(bus->LoadFromCache(bytes, 3));
    EXPECT_TRUE(bus->LoadFromCache(std::string()));
    try {
        bus->Get_Value(kBusId, "v");
        ADD_FAILURE() << "Get_Value returned";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "数据未就绪");
    }
    bus->RoundDone();  // the default: the children are not touched
    for (const auto& c : bus->GetAllChildVDevices()) EXPECT_EQ(static_cast<Child&>(*c).rounds, 0);
    EXPECT_EQ(Bus::commandGroup_, 0xFF);
    EXPECT_TRUE((std::is_same_v<decltype(Bus::commandGroup_), const std::uint8_t>));
}

TEST_F(BusDevice, ChildrenTheHostHoldsOutliveTheBusDevice) {
    auto bus = Make();
    ASSERT_TRUE(bus->InitSetting(ParseJson(R"({"acSetting":[{"data_id":11}],"dcSetting":[{"data_id":21}],"rcSetting":{}})")));
    auto all = bus->GetAllChildVDevices();
    std::shared_ptr<VNQVDevice> held = all[1];
    std::weak_ptr<VNQVDevice> ac = all[0];
    std::weak_ptr<VNQVDevice> rc = all[2];
    std::weak_ptr<Bus> gone = bus;
    bus.reset();
    all.clear();  // only the one the host holds stays
    EXPECT_TRUE(gone.expired());
    EXPECT_TRUE(ac.expired());
    EXPECT_TRUE(rc.expired());
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->DataId(), 21u);
}

}  // namespace
