#pragma once
// One DC distribution unit: decodes its block of the 42_41 (analog values)
// and 42_44 (alarm states) answers into the DC record, answers "v" and "i",
// and at every round end publishes the record and reports its alarm rules.
//
// The decoders check every byte they need before reading it. They decode
// into a copy of the record and store it only when the unit's block was
// complete, so a refused block (-1) leaves the record as it was.
#include "common/byte_reader.h"
#include "common/child_device.h"
#include "common/wire_value.h"
#include "dc/dc_alarm_rules.h"

#include <json/value.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>

template <typename TeleDC, int RT_DC>
class PMBusPowerDC : public ChildDevice {
public:
    PMBusPowerDC() : data_{}, fuseTexts_(dc_rules::kFuseLabel, dc_rules::kFuseName) {}
    explicit PMBusPowerDC(const std::string& name) : PMBusPowerDC() { name_ = name; }
    ~PMBusPowerDC() override = default;

    float Get_Value(std::uint32_t id, const std::string& name) const override;
    using ChildDevice::LoadFromCache;
    bool LoadFromCache(const unsigned char* data, int length) override;
    void RoundDone() override;
    bool InitV(VNQVDevice* parent, std::uint32_t id, const Json::Value& config) override;

    // Each returns the bytes of the unit's block it consumed, or -1.
    virtual int parse42_41(const unsigned char* data, int length);
    virtual int parse42_44(const unsigned char* data, int length);
    // Model-specific rules, reported after the built-in ones in the same batch.
    virtual void DoImpCheckAlert() = 0;

    const TeleDC& Record() const { return data_; }
    float DiffV() const { return diffV_; }
    float DiffI() const { return diffI_; }
    const std::string& Name() const { return name_; }

protected:
    const unsigned char* Image() const { return reinterpret_cast<const unsigned char*>(&data_); }

    TeleDC data_;
    float diffV_ = 0.1f;
    float diffI_ = 20.0f;
    std::string name_;

private:
    // Takes count 4-byte values into dst (room for cap of them); more than cap
    // are logged with fmt and passed over, dst keeping its contents.
    bool TakeValues(wire::ByteReader& in, std::uint8_t count, std::uint8_t cap, void* dst,
                    const char* fmt);
    int Overflow(const char* fmt, long long needed, int length) {
        InfoLog(fmt, dataId_, static_cast<int>(needed), length);
        return -1;
    }

    NumberedText fuseTexts_;  // "直流<n>电池熔丝故障告警"
};

namespace dc_detail {
constexpr const char* kOverflow41 = "PMBusPowerAC:ProcotolError {} read 42_41 read overflow {} - {}";
constexpr const char* kOverflow44 = "PMBusPowerAC:ProcotolError {} read 42_44 read overflow {} - {}";
constexpr const char* kTooManyM = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_m is {}, MAX_M is {}";
constexpr const char* kTooManyN = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_n is {}, MAX_N is {}";
constexpr const char* kTooManyP =
    "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read p_count is {}, support user_p max is {}";
constexpr const char* kTooManyAlertP =
    "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 p is {},  alert_p is {}";

// Reads one configured dead band: the member's text through atof.
inline void ReadDeadBand(const Json::Value& app, const char* key, float& dst) {
    const Json::Value& v = app[key];
    if (!v.isNull()) dst = static_cast<float>(std::atof(v.asString().c_str()));
}

// The rule key, alarm id and name of a rule as the host takes them, built
// once per process so that a round end builds no text.
struct RuleStrings {
    std::string key;
    std::string alarmId;
    std::string name;
};
inline const RuleStrings& VoltageStrings(std::size_t k) {
    static const RuleStrings strings[] = {
        {dc_rules::kVoltage[0].key, dc_rules::kVoltage[0].alarmId, dc_rules::kVoltage[0].nameAndText},
        {dc_rules::kVoltage[1].key, dc_rules::kVoltage[1].alarmId, dc_rules::kVoltage[1].nameAndText}};
    static_assert(sizeof(strings) / sizeof(strings[0]) == sizeof(dc_rules::kVoltage) / sizeof(dc_rules::kVoltage[0]),
                  "one entry per voltage rule");
    return strings[k];
}
inline const RuleStrings& FuseStrings() {
    static const RuleStrings strings{dc_rules::kFuseKey, dc_rules::kFuseAlarmId, dc_rules::kFuseName};
    return strings;
}
}  // namespace dc_detail

template <typename TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::TakeValues(wire::ByteReader& in, std::uint8_t count, std::uint8_t cap,
                                             void* dst, const char* fmt) {
    if (count > cap) {
        InfoLog(fmt, dataId_, count, cap);
        if (!in.Has(4LL * count)) return false;
        in.Skip(4 * count);
        return true;
    }
    if (!in.Has(4LL * count)) return false;
    std::memcpy(dst, in.Take(4 * count), 4u * count);
    return true;
}

template <typename TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::parse42_41(const unsigned char* data, int length) {
    using dc_detail::kOverflow41;
    wire::ByteReader in(data, length);
    if (in.Has(4)) {
        std::printf("parse 42 41: %x %x %x %x\n", static_cast<unsigned>(data[0]),
                    static_cast<unsigned>(data[1]), static_cast<unsigned>(data[2]),
                    static_cast<unsigned>(data[3]));
    }
    TeleDC rec = data_;

    if (!in.Has(9)) return Overflow(kOverflow41, in.After(9), length);
    std::memcpy(&rec.v, in.Take(4), 4);
    std::memcpy(&rec.i, in.Take(4), 4);
    rec.dc_m = in.Byte();
    if (!TakeValues(in, rec.dc_m, TeleDC::M_SIZE(), rec.m_value, dc_detail::kTooManyM))
        return Overflow(kOverflow41, in.After(4LL * rec.dc_m), length);

    if (!in.Has(1)) return Overflow(kOverflow41, in.After(1), length);
    rec.dc_n = in.Byte();
    if (!TakeValues(in, rec.dc_n, TeleDC::N_SIZE(), rec.n_value, dc_detail::kTooManyN))
        return Overflow(kOverflow41, in.After(4LL * rec.dc_n), length);

    if (!in.Has(1)) return Overflow(kOverflow41, in.After(1), length);
    rec.p_count = in.Byte();
    if (rec.p_count > TeleDC::P_SIZE()) {
        // The rest of the block cannot be placed: all of it counts as consumed.
        InfoLog(dc_detail::kTooManyP, dataId_, rec.p_count, TeleDC::P_SIZE());
        data_ = rec;
        return length;
    }
    if (!in.Has(4LL * rec.p_count)) return Overflow(kOverflow41, in.After(4LL * rec.p_count), length);
    unsigned char* userP = reinterpret_cast<unsigned char*>(rec.user_p);
    for (int k = 0; k < rec.p_count; ++k)
        wire::CopyValue(userP + 4 * k, in.Take(4), wire::kInvalidSubstitute);

    data_ = rec;
    return in.Pos();
}

template <typename TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::parse42_44(const unsigned char* data, int length) {
    using dc_detail::kOverflow44;
    wire::ByteReader in(data, length);
    TeleDC rec = data_;

    if (!in.Has(2)) return Overflow(kOverflow44, in.After(2), length);
    rec.v_alert = in.Byte();
    rec.alert_m_num = in.Byte();
    // A longer list than the record holds is taken in part, without a log line.
    if (!in.Has(rec.alert_m_num)) return Overflow(kOverflow44, in.After(rec.alert_m_num), length);
    std::memcpy(rec.alert_m, in.Take(rec.alert_m_num),
                std::min<std::size_t>(rec.alert_m_num, TeleDC::ALERT_M_SIZE()));

    if (!in.Has(1)) return Overflow(kOverflow44, in.After(1), length);
    rec.alert_p_num = in.Byte();
    if (rec.alert_p_num > TeleDC::ALERT_P_SIZE())
        InfoLog(dc_detail::kTooManyAlertP, dataId_, rec.alert_p_num, TeleDC::ALERT_P_SIZE());
    if (!in.Has(rec.alert_p_num)) return Overflow(kOverflow44, in.After(rec.alert_p_num), length);
    std::memcpy(rec.alert_p, in.Take(rec.alert_p_num),
                std::min<std::size_t>(rec.alert_p_num, TeleDC::ALERT_P_SIZE()));

    data_ = rec;
    return in.Pos();
}

template <typename TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::LoadFromCache(const unsigned char* data, int length) {
    if (data == nullptr || length != static_cast<int>(sizeof(TeleDC))) return false;
    std::memcpy(&data_, data, sizeof(TeleDC));
    MarkRestored();
    return true;
}

template <typename TeleDC, int RT_DC>
float PMBusPowerDC<TeleDC, RT_DC>::Get_Value(std::uint32_t /*id*/, const std::string& name) const {
    CheckFresh();
    if (name == "v") return data_.v;
    if (name == "i") return data_.i;
    throw std::out_of_range("数据未就绪");
}

template <typename TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::InitV(VNQVDevice* parent, std::uint32_t id, const Json::Value& config) {
    data_.data_id = id;
    // An element that is neither an object nor null makes the JSON library
    // throw here, after the id is stored; the caller sees its error.
    const Json::Value& app = config["appSetting"];
    if (app.isObject()) {
        dc_detail::ReadDeadBand(app, "diff_v", diffV_);
        dc_detail::ReadDeadBand(app, "diff_i", diffI_);
    }
    return ChildDevice::InitV(parent, id, config);
}

template <typename TeleDC, int RT_DC>
void PMBusPowerDC<TeleDC, RT_DC>::RoundDone() {
    TouchLastUpdate();
    StampTime(data_.ttime);
    MarkValid();
    SendSP(RT_DC, Image(), sizeof(TeleDC), false);

    BeginRules();
    for (std::size_t k = 0; k < std::size(dc_rules::kVoltage); ++k) {
        const dc_rules::VoltageRule& r = dc_rules::kVoltage[k];
        const dc_detail::RuleStrings& t = dc_detail::VoltageStrings(k);
        Report(r.level, t.key, t.alarmId, t.name, t.name, data_.v_alert == r.state);
    }
    if (data_.alert_m_num == TeleDC::ALERT_M_SIZE()) {
        const dc_detail::RuleStrings& fuse = dc_detail::FuseStrings();
        for (std::size_t j = 0; j < TeleDC::ALERT_M_SIZE(); ++j) {
            Report(dc_rules::kFuseLevel, fuse.key, fuse.alarmId, fuse.name, fuseTexts_(j + 1),
                   data_.alert_m[j] == dc_rules::kFuseFault);
        }
    }
    DoImpCheckAlert();

    // The item saves a copy of this round's image, whatever later decoding does to data_.
    HandOver(Image(), sizeof(TeleDC));
}
