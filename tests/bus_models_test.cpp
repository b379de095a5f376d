// The two bus-device models with their real children: construction, the
// model check against each model's own name, and whole rounds from the first
// RefreshStatus to the round end with answers in the children's layouts.
#include "bus/bus_models.h"
#include "tests/support/test_host.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/value.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using boost::posix_time::hours;
using boost::posix_time::second_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kBusId = 40;

void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
void AppendFloat(Bytes& b, float f) { Append(b, testhost::FloatBytes(f)); }

std::string Name(const testhost::Request& r) {
    char b[8];
    std::snprintf(b, sizeof b, "%02X_%02X", r.cid1, r.cid2);
    return b;
}

// A power system with `ac` AC units of one channel each, `dc` DC units and no
// rectifier modules, answering in the layout of either model.
struct Plant {
    bool base = false;  // QZL4200 layout: the unit count after the AC DATAFLAG
    int ac = 0;
    int dc = 0;
    std::string model;

    float Ia(int unit) const { return 10.0f + static_cast<float>(unit); }
    float V(int unit) const { return 53.5f + static_cast<float>(unit); }

    Bytes AcHead(std::uint8_t flag) const {
        Bytes b{flag};
        if (base) b.push_back(static_cast<std::uint8_t>(ac));
        return b;
    }

    Bytes Info(const std::string& name) const {
        Bytes info;
        if (name == "40_51") {
            info.assign(model.begin(), model.end());
            info.resize(20, 0);
        } else if (name == "40_41") {
            info = AcHead(0);
            for (int u = 0; u < ac; ++u) {
                info.push_back(1);  // one channel
                for (float v : {220.0f, 221.0f, 222.0f, 50.0f}) AppendFloat(info, v);
                info.push_back(0);  // no user values
                for (float i : {Ia(u), 0.5f, 0.25f}) AppendFloat(info, i);
            }
        } else if (name == "40_43") {
            info = AcHead(0);
            for (int u = 0; u < ac; ++u) Append(info, {0, 3, 1, 2, 3});  // no breakers, 3 status bytes
        } else if (name == "40_44") {
            info = AcHead(0);
            for (int u = 0; u < ac; ++u) {
                Append(info, {1, 0, 0, 0, 0, 0, 8});
                Append(info, Bytes(8, 0));
                Append(info, {0, 0, 0});
            }
        } else if (name == "41_41") {
            info = {0};
            AppendFloat(info, 100.0f);
            info.push_back(0);  // no modules
        } else if (name == "41_43" || name == "41_44") {
            info = {0, 0};
        } else if (name == "42_41") {
            info = {0, static_cast<std::uint8_t>(dc)};
            for (int u = 0; u < dc; ++u) {
                AppendFloat(info, V(u));
                AppendFloat(info, 12.0f);
                Append(info, {0, 0, 0});  // no m, n or user values
            }
        } else if (name == "42_44") {
            info = {0, static_cast<std::uint8_t>(dc)};
            for (int u = 0; u < dc; ++u) Append(info, {0, 0, 0});
        } else if (name == "40_46") {
            info = Bytes(20, 0);
            info.push_back(0);
        } else if (name == "42_46") {
            info = Bytes(8, 0);
            info.push_back(5);
            Append(info, Bytes(20, 0));
        }
        return info;
    }
};

Json::Value Config(int ac, int dc) {
    Json::Value cfg(Json::objectValue);
    cfg["acSetting"] = Json::Value(Json::arrayValue);
    cfg["dcSetting"] = Json::Value(Json::arrayValue);
    for (int i = 0; i < ac; ++i) cfg["acSetting"][i]["data_id"] = 41 + i;
    for (int i = 0; i < dc; ++i) cfg["dcSetting"][i]["data_id"] = 51 + i;
    cfg["rcSetting"] = Json::Value(Json::objectValue);
    return cfg;
}

class BusModels : public ::testing::Test {
protected:
    template <typename Bus>
    std::shared_ptr<Bus> Make(int ac, int dc) {
        auto bus = std::make_shared<Bus>();
        const Json::Value cfg = Config(ac, dc);
        bus->Init(ctl_, kBusId, cfg);
        EXPECT_TRUE(bus->InitSetting(cfg));
        bus->SetLastUpdate(second_clock::local_time() - hours(1));
        return bus;
    }

    // Answers every request from the first RefreshStatus to the round end;
    // returns the requests in order, each with "+FF" when it carried the group byte.
    std::string Round(PMBusProtocol& bus, const Plant& plant) {
        const std::size_t first = ctl_->requests.size();
        EXPECT_TRUE(bus.RefreshStatus());
        int result = 1;
        for (int i = 0; i < 16 && result == 1; ++i) {
            const std::size_t sent = ctl_->requests.size();
            const Bytes a = testhost::Answer(ctl_->requests.back().cid1, plant.Info(Name(ctl_->requests.back())));
            result = bus.DeliverAnswer(a.data(), static_cast<unsigned>(a.size()));
            if (result == 1 && ctl_->requests.size() == sent) {
                ADD_FAILURE() << "stalled after " << Name(ctl_->requests.back());
                break;
            }
        }
        EXPECT_EQ(result, 0);
        EXPECT_EQ(bus.CommandStep(), 0u);
        std::string s;
        for (std::size_t i = first; i < ctl_->requests.size(); ++i) {
            const auto& r = ctl_->requests[i];
            s += (s.empty() ? "" : " ") + Name(r);
            if (r.info == Bytes{0xFF}) s += "+FF";
            else EXPECT_TRUE(r.info.empty()) << Name(r);
        }
        return s;
    }

    int ModelAlarms() const {
        int n = 0;
        for (const auto& r : ctl_->rules) n += r.key == "device_model" ? 1 : 0;
        return n;
    }

    std::shared_ptr<testhost::TestController> ctl_ = std::make_shared<testhost::TestController>();
};

TEST_F(BusModels, ConstructorsSetTypeModelsAndLineSettings) {
    const auto t = std::make_shared<tvr27pk>();
    EXPECT_EQ(t->DeviceType(), "tvr27pk");
    EXPECT_EQ(t->ProtocolVersion(), 0x21);  // the host's
    EXPECT_EQ(t->PortOption(), 0);
    EXPECT_EQ(t->Baud(), 9600u);

    const auto q = std::make_shared<QZL4200>();
    EXPECT_EQ(q->DeviceType(), "qzl4200");
    EXPECT_EQ(q->ProtocolVersion(), 0x20);
    EXPECT_EQ(q->PortOption(), 1);
    EXPECT_EQ(q->Baud(), 9600u);
}

TEST_F(BusModels, EachModelAcceptsItsOwnName) {
    struct Case {
        bool base;
        const char* model;
        const char* alarm;  // "" for none
    };
    const Case cases[] = {
        {false, "tvr27pk", ""},
        {false, "qzl4200", "本驱动类型:tvr27pk 检测型号:qzl4200"},
        {true, "qzl4200", ""},
        {true, "tvr27pk", "本驱动类型:qzl4200 检测型号:tvr27pk"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.base ? "QZL4200 reads " : "tvr27pk reads ") + c.model);
        ctl_->Clear();
        std::shared_ptr<PMBusProtocol> bus;
        if (c.base)
            bus = Make<QZL4200>(0, 0);
        else
            bus = Make<tvr27pk>(0, 0);
        ASSERT_TRUE(bus->RefreshStatus());
        Plant plant;
        plant.model = c.model;
        const Bytes a = testhost::Answer(0x40, plant.Info("40_51"));
        EXPECT_EQ(bus->DeliverAnswer(a.data(), static_cast<unsigned>(a.size())), 1);
        if (*c.alarm == '\0') {
            EXPECT_TRUE(ctl_->rules.empty());
        } else {
            ASSERT_EQ(ctl_->rules.size(), 1u);
            std::string text = c.alarm;
            text.resize(text.size() + 13, '\0');  // the whole 20-byte field
            EXPECT_EQ(ctl_->rules[0].text, text);
            EXPECT_EQ(ctl_->rules[0].key, "device_model");
        }
    }
}

TEST_F(BusModels, Tvr27pkRoundsWithRealChildren) {
    auto bus = Make<tvr27pk>(2, 2);
    Plant plant{false, 2, 2, "tvr27pk"};
    // Data not valid: every group in full, two AC requests, DC payload at version 33.
    EXPECT_EQ(Round(*bus, plant),
              "40_51 40_41+FF 40_44+FF 41_41 41_43 41_44 42_41+FF 42_44+FF 40_46 42_46");
    EXPECT_EQ(ModelAlarms(), 0);

    // Every child decoded its own part and published it at the round end,
    // AC before DC before the rectifiers.
    std::vector<std::pair<std::uint32_t, int>> published;
    for (const auto& p : ctl_->published) published.emplace_back(p.data_id, p.type_number);
    const std::vector<std::pair<std::uint32_t, int>> order = {
        {41, 5106}, {42, 5106}, {51, 5108}, {52, 5108}, {kBusId, 5107}};
    EXPECT_EQ(published, order);
    const auto all = bus->GetAllChildVDevices();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_FLOAT_EQ(all[0]->Get_Value(41, "ia"), plant.Ia(0));
    EXPECT_FLOAT_EQ(all[1]->Get_Value(42, "ia"), plant.Ia(1));
    EXPECT_FLOAT_EQ(all[2]->Get_Value(51, "v"), plant.V(0));
    EXPECT_FLOAT_EQ(all[3]->Get_Value(52, "v"), plant.V(1));

    // Data valid, nothing new: the short round.
    bus->SetDataValid(1);
    bus->SetLastUpdate(second_clock::local_time() - hours(1));
    EXPECT_EQ(Round(*bus, plant), "40_41+FF 41_41 42_41+FF 40_46 42_46");
}

TEST_F(BusModels, Tvr27pkPollsTheDcGroupWithoutDcChildren) {
    auto bus = Make<tvr27pk>(1, 0);
    bus->SetDataValid(1);
    EXPECT_EQ(Round(*bus, Plant{false, 1, 0, "tvr27pk"}), "40_51 40_41+FF 41_41 42_41+FF 40_46 42_46");
}

TEST_F(BusModels, Qzl4200RoundsWithRealChildren) {
    auto bus = Make<QZL4200>(1, 1);
    Plant plant{true, 1, 1, "qzl4200"};
    // Version 0x20: the DC requests go without the group byte.
    EXPECT_EQ(Round(*bus, plant), "40_51 40_41+FF 40_43+FF 40_44+FF 41_41 41_43 41_44 42_41 42_44 40_46 42_46");
    EXPECT_EQ(ModelAlarms(), 0);
    const auto all = bus->GetAllChildVDevices();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_FLOAT_EQ(all[0]->Get_Value(41, "ia"), plant.Ia(0));
    EXPECT_FLOAT_EQ(all[1]->Get_Value(51, "v"), plant.V(0));
    EXPECT_EQ(ctl_->published.size(), 3u);

    // Without DC children the round ends after the rectifier group.
    auto noDc = Make<QZL4200>(1, 0);
    noDc->SetDataValid(1);
    EXPECT_EQ(Round(*noDc, Plant{true, 1, 0, "qzl4200"}), "40_51 40_41+FF 41_41");
}

}  // namespace
