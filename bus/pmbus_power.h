#pragma once
// The bus device: owns the serial conversation with the power system and
// the child devices that decode its answers (one per configured AC unit, one
// per configured DC unit, one rectifier group).
//
// The polling cycle is one engine (RunCycle) driven by a model's transition
// table (bus/cycle_table.h) over the shared command set (bus/command_set.h).
// The class template's process_payload runs the base table; a model with its
// own variant overrides process_payload with its own table.
//
// Child contract: AC, DC and RC derive from VNQVDevice; AC and RC are default
// constructible, DC is constructible from a text; AC offers parse40_41,
// parse40_43 and parse40_44, DC parse42_41 and parse42_44, RC parse41_41,
// parse41_43, parse41_44, parse40_46 and parse42_46, each
// int (const unsigned char* data, int length): the bytes consumed, or -1.
#include "bus/command_set.h"
#include "bus/cycle_table.h"
#include "bus/model_match.h"
#include "bus/round_pacing.h"
#include "host/pmbus_protocol.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

template <typename AC, typename DC, typename RC>
class PMBusPower : public PMBusProtocol {
    static_assert(std::is_base_of_v<VNQVDevice, AC> && std::is_base_of_v<VNQVDevice, DC> &&
                      std::is_base_of_v<VNQVDevice, RC>,
                  "child devices derive from VNQVDevice");
    static_assert(std::is_default_constructible_v<AC> && std::is_default_constructible_v<RC>,
                  "AC and rectifier children are default constructible");
    static_assert(std::is_constructible_v<DC, const std::string&>,
                  "DC children are constructible from a text");

public:
    // The command-group byte sent as the payload of several requests.
    static const std::uint8_t commandGroup_ = 0xFF;

    explicit PMBusPower(std::vector<std::string> supportedModels)
        : supportedModels_(std::move(supportedModels)) {}

    using PMBusProtocol::LoadFromCache;
    // The bus device keeps no cached state of its own; the children restore theirs.
    bool LoadFromCache(const unsigned char* /*data*/, int /*length*/) override { return true; }

    ~PMBusPower() override = default;

    bool InitSetting(const Json::Value& config) override;
    std::shared_ptr<VNQVDevice> GetChildVDevice(std::uint32_t id) override;
    std::vector<std::shared_ptr<VNQVDevice>> GetAllChildVDevices() override;
    bool RefreshStatus() override;
    int process_payload() override { return RunCycle(bus_cycle::kBaseCycle); }

protected:
    // Handles the answer in the response buffer by the row of the current
    // command step; 0 right after Reset(), else 1.
    int RunCycle(const bus_cycle::CycleTable& table);

    std::vector<std::shared_ptr<AC>> acDevices_;
    std::vector<std::shared_ptr<DC>> dcDevices_;
    std::shared_ptr<RC> rcDevice_;
    std::uint8_t acDataFlag_ = 0;
    std::uint8_t rcDataFlag_ = 0;
    bool checkModel_ = true;
    std::string deviceModel_;
    std::vector<std::string> supportedModels_;

private:
    template <typename Child>
    using ParseOp = int (Child::*)(const unsigned char*, int);

    struct Walked {
        bool refused;            // a child returned -1
        std::int64_t consumed;   // INFO bytes consumed, the skipped ones included
    };

    // Bytes of the model field of a 40_51 answer.
    static constexpr int kModelBytes = 20;

    static ParseOp<AC> AcParse(bus_cycle::Parse p);
    static ParseOp<DC> DcParse(bus_cycle::Parse p);
    static ParseOp<RC> RcParse(bus_cycle::Parse p);

    template <typename Child>
    static Walked Walk(const std::vector<std::shared_ptr<Child>>& children, ParseOp<Child> op,
                       const unsigned char* info, int infoLength, int skip);

    // Logs a row's text with the data id first; a row without the text logs nothing.
    template <typename... Args>
    void Log(const char* text, const Args&... args) {
        if (text != nullptr) InfoLog(text, dataId_, args...);
    }

    void SendStep(std::uint32_t step);
    void CheckModel(const unsigned char* info, int infoLength);
    bool Taken(const bus_cycle::Branch& b, std::uint8_t dcFlag) const;
    int Advance(const bus_cycle::StepRow& row, std::uint8_t dcFlag);
    int Refuse(const bus_cycle::StepRow& row);
    int EndRound();
};

template <typename AC, typename DC, typename RC>
const std::uint8_t PMBusPower<AC, DC, RC>::commandGroup_;

// --- configuration and child lookup -----------------------------------------

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::InitSetting(const Json::Value& config) {
    if (!PMBusProtocol::InitSetting(config)) return false;

    const Json::Value& ac = config["acSetting"];
    if (ac.isArray()) {
        for (Json::ArrayIndex i = 0; i < ac.size(); ++i) {
            auto child = std::make_shared<AC>();
            const std::uint32_t id = ac[i]["data_id"].asUInt();
            child->InitV(this, id, ac[i]);
            acDevices_.push_back(std::move(child));
        }
    }
    const Json::Value& dc = config["dcSetting"];
    if (dc.isArray()) {
        for (Json::ArrayIndex i = 0; i < dc.size(); ++i) {
            auto child = std::make_shared<DC>(deviceModel_);
            const std::uint32_t id = dc[i]["data_id"].asUInt();
            child->InitV(this, id, dc[i]);
            dcDevices_.push_back(std::move(child));
        }
    }
    const Json::Value& rc = config["rcSetting"];
    if (rc.isNull()) return false;
    rcDevice_ = std::make_shared<RC>();
    rcDevice_->InitV(this, dataId_, rc);
    return true;
}

template <typename AC, typename DC, typename RC>
std::shared_ptr<VNQVDevice> PMBusPower<AC, DC, RC>::GetChildVDevice(std::uint32_t id) {
    for (const auto& c : acDevices_)
        if (c->DataId() == id) return c;
    for (const auto& c : dcDevices_)
        if (c->DataId() == id) return c;
    return {};
}

template <typename AC, typename DC, typename RC>
std::vector<std::shared_ptr<VNQVDevice>> PMBusPower<AC, DC, RC>::GetAllChildVDevices() {
    std::vector<std::shared_ptr<VNQVDevice>> all;
    all.reserve(acDevices_.size() + dcDevices_.size() + 1);
    all.insert(all.end(), acDevices_.begin(), acDevices_.end());
    all.insert(all.end(), dcDevices_.begin(), dcDevices_.end());
    all.push_back(rcDevice_);
    return all;
}

// --- the polling cycle --------------------------------------------------------

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::RefreshStatus() {
    using namespace bus_cycle;
    if (!VNQSPDevice::RefreshStatus()) return false;
    if (!checkModel_ &&
        WholeSecondsSince(lastUpdate_, boost::posix_time::second_clock::local_time()) <
            kRoundSpacingSeconds) {
        refresh_ = 0;
        return false;
    }
    if (checkModel_) {
        commandStep_ = kModel40_51;
    } else if (commandStep_ == kAc40_41 && acDevices_.empty()) {
        commandStep_ = kRc41_41;
    }
    // Every step, the parameter requests included, sends its request again:
    // a lost answer must not stall the round. A step outside the command set
    // sends nothing.
    SendStep(commandStep_);
    return true;
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::RunCycle(const bus_cycle::CycleTable& table) {
    using namespace bus_cycle;
    if (table.waitBeforeAnswer) usleep(20000);

    const unsigned char* const buf = response_;
    if (buf == nullptr) return 1;
    const int infoLength =
        static_cast<int>((static_cast<unsigned>(buf[4]) | (static_cast<unsigned>(buf[5]) << 8)) >> 1);
    const unsigned char* const info = buf + 6;

    const Command* const cmd = FindCommand(commandStep_);
    const StepRow* const row = table.Find(commandStep_);
    if (cmd == nullptr || row == nullptr) return 1;
    if (buf[2] != cmd->cid1) return Refuse(*row);

    // Nothing past the INFO is read: an answer without the bytes the row
    // reads itself is refused before any of them is taken.
    const int needed = InfoBytesRead(*row);
    if (infoLength < needed) {
        Log(row->shortLog, static_cast<std::uint32_t>(infoLength), static_cast<std::uint32_t>(needed));
        return Refuse(*row);
    }

    std::uint8_t dcFlag = 0;
    switch (row->keepsFlag) {
        case Flag::Ac: acDataFlag_ = info[0]; break;
        case Flag::Rc: rcDataFlag_ = info[0]; break;
        case Flag::Dc: dcFlag = info[0]; break;
        case Flag::None: break;
    }

    if (row->count != UnitCount::None) {
        const std::uint32_t read = info[1];
        const std::uint32_t configured = static_cast<std::uint32_t>(
            row->count == UnitCount::AcChildren ? acDevices_.size() : dcDevices_.size());
        if (read != configured) {
            Log(row->countLog, read, configured);
            return Refuse(*row);
        }
    }

    int skip = 0;
    switch (row->skip) {
        case Skip::None: skip = 0; break;
        case Skip::One: skip = 1; break;
        case Skip::Two: skip = 2; break;
        case Skip::TwoBelowFour: skip = info[1] < 4 ? 2 : 1; break;
    }

    bool judge = true;
    std::int64_t consumed = 0;
    switch (cmd->route) {
        case Route::Bus:
            CheckModel(info, infoLength);
            judge = false;
            break;
        case Route::AcChildren:
        case Route::DcChildren: {
            if (row->noWalkWhenEmpty && infoLength - skip <= 0) {
                judge = false;
                break;
            }
            const Walked w = cmd->route == Route::AcChildren
                                 ? Walk(acDevices_, AcParse(cmd->parse), info, infoLength, skip)
                                 : Walk(dcDevices_, DcParse(cmd->parse), info, infoLength, skip);
            if (w.refused) return 1;
            consumed = w.consumed;
            break;
        }
        case Route::Rectifier: {
            // Without a rectifier child (a configuration that failed) the
            // answer counts as refused.
            const int r = rcDevice_ ? ((*rcDevice_).*RcParse(cmd->parse))(info, infoLength) : -1;
            if (r < 0 && row->consumed != Consumed::MustEqual) return 1;
            consumed = r;
            break;
        }
    }

    if (judge) {
        const bool differs = consumed != infoLength;
        switch (row->consumed) {
            case Consumed::MustEqual:
                if (differs) {
                    Log(row->overflowLog);
                    return 1;
                }
                break;
            case Consumed::LogAbove:
                if (consumed > infoLength) Log(row->overflowLog);
                break;
            case Consumed::LogDiffering:
                if (differs) Log(row->overflowLog);
                break;
        }
    }
    return Advance(*row, dcFlag);
}

template <typename AC, typename DC, typename RC>
template <typename Child>
typename PMBusPower<AC, DC, RC>::Walked PMBusPower<AC, DC, RC>::Walk(
    const std::vector<std::shared_ptr<Child>>& children, ParseOp<Child> op, const unsigned char* info,
    int infoLength, int skip) {
    std::int64_t consumed = skip;
    for (const auto& child : children) {
        // Every child is called, also once the INFO is used up or a child
        // claimed more than it was given: it then gets a negative length,
        // reads nothing and says so itself. Its place never points beyond
        // the end of the INFO.
        const std::int64_t left = infoLength - consumed;
        const int r = ((*child).*op)(info + std::min<std::int64_t>(consumed, infoLength), static_cast<int>(std::max<std::int64_t>(left, INT32_MIN)));
        if (r < 0) return {true, consumed};
        consumed += r;
    }
    return {false, consumed};
}

template <typename AC, typename DC, typename RC>
void PMBusPower<AC, DC, RC>::CheckModel(const unsigned char* info, int infoLength) {
    // A short answer gives the model text of the bytes it has.
    deviceModel_.assign(reinterpret_cast<const char*>(info),
                        static_cast<std::string::size_type>(std::min(infoLength, kModelBytes)));
    if (!bus_cycle::NamesAnyModel(deviceModel_, supportedModels_)) {
        CheckThresholdBool(3, "device_model", "70319", "设备配置检测",
                           "本驱动类型:" + deviceType_ + " 检测型号:" + deviceModel_, true, 0);
    }
    checkModel_ = false;
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::Taken(const bus_cycle::Branch& b, std::uint8_t dcFlag) const {
    using namespace bus_cycle;
    switch (b.guard) {
        case Guard::Always: break;
        case Guard::HasAc:
            if (acDevices_.empty()) return false;
            break;
        case Guard::HasDc:
            if (dcDevices_.empty()) return false;
            break;
    }
    if (!b.whenInvalid && b.flag == Flag::None) return true;
    if (b.whenInvalid && dataValid_ != 1) return true;
    std::uint8_t flag = 0;
    switch (b.flag) {
        case Flag::Ac: flag = acDataFlag_; break;
        case Flag::Rc: flag = rcDataFlag_; break;
        case Flag::Dc: flag = dcFlag; break;
        case Flag::None: return false;
    }
    return (flag & b.mask) != 0;
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::Advance(const bus_cycle::StepRow& row, std::uint8_t dcFlag) {
    for (std::size_t i = 0; i < row.branches; ++i) {
        const bus_cycle::Branch& b = row.next[i];
        if (!Taken(b, dcFlag)) continue;
        if (b.next == bus_cycle::kRoundEnd) return EndRound();
        commandStep_ = b.next;
        SendStep(b.next);
        return 1;
    }
    return 1;  // not reached: every row ends in an unconditional branch
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::Refuse(const bus_cycle::StepRow& row) {
    if (!row.wrongAnswerResets) return 1;
    Reset();
    return 0;
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::EndRound() {
    for (const auto& c : acDevices_) c->RoundDone();
    for (const auto& c : dcDevices_) c->RoundDone();
    if (rcDevice_) rcDevice_->RoundDone();
    commandStep_ = bus_cycle::kAc40_41;
    Reset();
    return 0;
}

template <typename AC, typename DC, typename RC>
void PMBusPower<AC, DC, RC>::SendStep(std::uint32_t step) {
    const bus_cycle::Command* c = bus_cycle::FindCommand(step);
    if (c == nullptr) return;
    if (bus_cycle::CarriesGroupByte(*c, protocolVersion_))
        write_pmbus_cmd(c->cid1, c->cid2, &commandGroup_, 1);
    else
        write_pmbus_cmd(c->cid1, c->cid2);
}

// --- the parse operation of each answer --------------------------------------

template <typename AC, typename DC, typename RC>
typename PMBusPower<AC, DC, RC>::template ParseOp<AC> PMBusPower<AC, DC, RC>::AcParse(
    bus_cycle::Parse p) {
    switch (p) {
        case bus_cycle::Parse::P40_41: return &AC::parse40_41;
        case bus_cycle::Parse::P40_43: return &AC::parse40_43;
        default: return &AC::parse40_44;
    }
}

template <typename AC, typename DC, typename RC>
typename PMBusPower<AC, DC, RC>::template ParseOp<DC> PMBusPower<AC, DC, RC>::DcParse(
    bus_cycle::Parse p) {
    return p == bus_cycle::Parse::P42_41 ? &DC::parse42_41 : &DC::parse42_44;
}

template <typename AC, typename DC, typename RC>
typename PMBusPower<AC, DC, RC>::template ParseOp<RC> PMBusPower<AC, DC, RC>::RcParse(
    bus_cycle::Parse p) {
    switch (p) {
        case bus_cycle::Parse::P41_41: return &RC::parse41_41;
        case bus_cycle::Parse::P41_43: return &RC::parse41_43;
        case bus_cycle::Parse::P41_44: return &RC::parse41_44;
        case bus_cycle::Parse::P40_46: return &RC::parse40_46;
        default: return &RC::parse42_46;
    }
}
