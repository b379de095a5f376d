#pragma once
// One AC distribution unit: decodes its part of the 40_41 (voltages,
// frequencies, phase currents), 40_43 (status bytes) and 40_44 (alarm
// states) answers into the panel record and the channel records, answers the
// signal queries, and at every round end publishes the records as a snapshot
// and reports the AC alarm rules.
//
// Each decoder walks its part twice: a checking pass that reads only counts,
// logs the count mismatches and finds a part that does not fit in the bytes
// given, then a storing pass over the same bytes. A refused part (-1)
// therefore stores nothing, and the channel count is adopted only from a part
// that fits.
#include "ac/ac_alarm_rules.h"
#include "ac/channel_name.h"
#include "common/byte_reader.h"
#include "common/child_device.h"
#include "common/snapshot.h"
#include "common/wire_value.h"

#include <json/value.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

template <typename TeleAC, typename TeleACChannel, int RT_AC>
class PMBusPowerAC : public ChildDevice {
public:
    PMBusPowerAC();
    ~PMBusPowerAC() override = default;

    float Get_Value(std::uint32_t id, const std::string& name) const override;
    using ChildDevice::LoadFromCache;
    bool LoadFromCache(const unsigned char* data, int len) override;
    void RoundDone() override;
    bool InitV(VNQVDevice* parent, std::uint32_t id, const Json::Value& config) override;

    // Each returns the bytes of this unit's part it consumed, or -1.
    virtual int parse40_41(const unsigned char* p, int len);
    virtual int parse40_43(const unsigned char* p, int len);
    virtual int parse40_44(const unsigned char* p, int len);
    // Model-specific rules, reported after the built-in ones in the same batch.
    virtual void DoImpCheckAlert() = 0;

    // Where the 40_41 trace lines go: standard output unless changed, nowhere for null.
    void SetTraceStream(std::ostream* os) { trace_ = os; }

    const TeleAC& Record() const { return data_; }
    const std::vector<TeleACChannel>& Channels() const { return channels_; }
    float DiffV() const { return diffV_; }
    float DiffI() const { return diffI_; }
    int SnapshotLength() const { return snapshotLen_; }
    const unsigned char* SnapshotBuffer() const { return snapshot_.get(); }

protected:
    TeleAC data_;
    std::vector<TeleACChannel> channels_;
    float diffV_ = 20.0f;
    float diffI_ = 20.0f;
    int snapshotLen_ = 0;
    std::unique_ptr<unsigned char[]> snapshot_;

private:
    // One pass over a part; Store = false checks and logs, Store = true stores.
    template <bool Store>
    int Walk40_41(const unsigned char* p, int len, std::uint8_t count);
    template <bool Store>
    int Walk40_43(const unsigned char* p, int len);
    template <bool Store>
    int Walk40_44(const unsigned char* p, int len);

    int Overflow(const char* fmt, long long needed, int len) {
        InfoLog(fmt, dataId_, static_cast<int>(needed), len);
        return -1;
    }
    void Trace(const TeleACChannel& ch) const;
    static std::uint8_t StateOf(const TeleACChannel& ch, ac_rules::StateByte s);
    std::uint8_t StateOf(ac_rules::StateByte s) const;

    // "交流屏<n>" + text of each channel row, kept once built.
    std::vector<NumberedText> channelTexts_;
    std::ostream* trace_ = &std::cout;
};

namespace ac_detail {
constexpr const char* kOverflow41 = "PMBusPowerAC:ProcotolError {} read 40_41 read overflow {} - {}";
constexpr const char* kOverflow43 = "PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}";
constexpr const char* kOverflow44 = "PMBusPowerAC:ProcotolError {} read 40_44 read overflow {} - {}";
constexpr const char* kUserCount41 = "PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}";
constexpr const char* kTooManyBreakers = "ProcotolError %u read 40_43 m is %d max %d";
constexpr const char* kUserCount43 = "PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}";
constexpr const char* kExtraCount44 = "PMBusPowerAC:ProcotolError {} read 40_44 m is {}";
constexpr const char* kUserCount44 = "PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}";

// A channel block of 40_41 before its user-defined values: a, b, c, f and P.
constexpr int kChannelHead41 = 17;
// The three phase currents that close a 40_41 part.
constexpr int kCurrents41 = 12;

// The rule key, alarm id, name and panel text of every row, as the host takes
// them; built once per process.
struct RuleStrings {
    std::string key;
    std::string alarmId;
    std::string name;
    std::string text;
};
inline const std::vector<RuleStrings>& Strings() {
    static const std::vector<RuleStrings> strings = [] {
        std::vector<RuleStrings> v;
        for (const auto& r : ac_rules::kRules) v.push_back({r.key, r.alarmId, r.name, r.text});
        return v;
    }();
    return strings;
}

// Reads one configured dead band: the member's text through atof.
inline void ReadDeadBand(const Json::Value& app, const char* key, float& dst) {
    const Json::Value& v = app[key];
    if (!v.isNull()) dst = static_cast<float>(std::atof(v.asString().c_str()));
}

inline unsigned char* BytesOf(void* p) { return static_cast<unsigned char*>(p); }
}  // namespace ac_detail

template <typename TeleAC, typename TeleACChannel, int RT_AC>
PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::PMBusPowerAC() : data_{} {
    channelTexts_.reserve(ac_rules::kChannelRows);
    for (std::size_t k = 0; k < ac_rules::kChannelRows; ++k)
        channelTexts_.emplace_back(ac_rules::kChannelLabel, ac_rules::kRules[k].text);
}

// ---------------------------------------------------------------- 40_41 ---

template <typename TeleAC, typename TeleACChannel, int RT_AC>
template <bool Store>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Walk40_41(const unsigned char* p, int len,
                                                          std::uint8_t count) {
    using namespace ac_detail;
    wire::ByteReader in(p, len);
    in.Skip(1);  // the channel count, read by the caller
    for (std::size_t i = 0; i < count; ++i) {
        if (!in.Has(kChannelHead41)) return Overflow(kOverflow41, in.After(kChannelHead41), len);
        if constexpr (Store) {
            TeleACChannel& ch = channels_[i];
            wire::CopyValueOrZero(&ch.a, in.Take(4));
            wire::CopyValueOrZero(&ch.b, in.Take(4));
            wire::CopyValueOrZero(&ch.c, in.Take(4));
            wire::CopyValueOrZero(&ch.f, in.Take(4));
            Trace(ch);
        } else {
            in.Skip(16);
        }
        const std::uint8_t userCount = in.Byte();
        if (!Store && userCount != TeleACChannel::P40_41_SIZE())
            InfoLog(kUserCount41, dataId_, userCount, TeleACChannel::P40_41_SIZE());
        if (!in.Has(4LL * userCount)) return Overflow(kOverflow41, in.After(4LL * userCount), len);
        if constexpr (Store) {
            TeleACChannel& ch = channels_[i];
            ch.p40_41_num = userCount;
            if (userCount == TeleACChannel::P40_41_SIZE()) {
                for (int k = 0; k < userCount; ++k)
                    wire::CopyValue(BytesOf(ch.p40_41) + 4 * k, in.Take(4), wire::kInvalidSubstitute);
                continue;
            }
        }
        in.Skip(4 * userCount);
    }
    if (!in.Has(kCurrents41)) return Overflow(kOverflow41, in.After(kCurrents41), len);
    if constexpr (Store) {
        wire::CopyValue(&data_.ia, in.Take(4), wire::kInvalidSubstitute);
        wire::CopyValue(&data_.ib, in.Take(4), wire::kInvalidSubstitute);
        wire::CopyValue(&data_.ic, in.Take(4), wire::kInvalidSubstitute);
    } else {
        in.Skip(kCurrents41);
    }
    return in.Pos();
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_41(const unsigned char* p, int len) {
    wire::ByteReader in(p, len);
    if (!in.Has(1)) return Overflow(ac_detail::kOverflow41, in.After(1), len);
    const std::uint8_t count = in.Byte();
    // Once learned, the channel count is fixed; a part for another count is refused.
    if (!channels_.empty() && count != data_.channel_num) return -1;
    if (Walk40_41<false>(p, len, count) < 0) return -1;
    if (channels_.empty() && count > 0) {
        data_.channel_num = count;
        channels_.resize(count);  // value-initialised: zero records
    }
    return Walk40_41<true>(p, len, count);
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Trace(const TeleACChannel& ch) const {
    if (trace_ == nullptr) return;
    const float a = ch.a, b = ch.b, c = ch.c, f = ch.f;
    *trace_ << "a:" << a << " b:" << b << " c:" << c << " f:" << f << std::endl;
}

// ---------------------------------------------------------------- 40_43 ---

template <typename TeleAC, typename TeleACChannel, int RT_AC>
template <bool Store>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Walk40_43(const unsigned char* p, int len) {
    using namespace ac_detail;
    wire::ByteReader in(p, len);
    if (!in.Has(1)) return Overflow(kOverflow43, in.After(1), len);
    const std::uint8_t breakers = in.Byte();
    if (breakers > TeleAC::AIRLOCK_MAX()) {
        // The count received is kept; the part is refused.
        data_.airlock_num = breakers;
        InfoLog(kTooManyBreakers, dataId_, static_cast<int>(breakers),
                static_cast<int>(TeleAC::AIRLOCK_MAX()));
        return -1;
    }
    if (!in.Has(breakers + 1)) return Overflow(kOverflow43, in.After(breakers + 1), len);
    const unsigned char* breakerBytes = in.Take(breakers);
    const std::uint8_t userCount = in.Byte();
    if (!Store && userCount != TeleAC::P40_43_SIZE())
        InfoLog(kUserCount43, dataId_, static_cast<int>(userCount), TeleAC::P40_43_SIZE());
    if (!in.Has(userCount)) return Overflow(kOverflow43, in.After(userCount), len);
    const unsigned char* userBytes = in.Take(userCount);
    if constexpr (Store) {
        data_.airlock_num = breakers;
        std::memcpy(BytesOf(data_.airlock), breakerBytes, breakers);
        data_.p40_43_num = userCount;
        if (userCount == TeleAC::P40_43_SIZE()) std::memcpy(BytesOf(data_.p40_43), userBytes, userCount);
    }
    return in.Pos();
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_43(const unsigned char* p, int len) {
    if (Walk40_43<false>(p, len) < 0) return -1;
    return Walk40_43<true>(p, len);
}

// ---------------------------------------------------------------- 40_44 ---

template <typename TeleAC, typename TeleACChannel, int RT_AC>
template <bool Store>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Walk40_44(const unsigned char* p, int len) {
    using namespace ac_detail;
    wire::ByteReader in(p, len);
    // The part's own channel count is passed over: the learned count governs.
    if (!in.Has(1)) return Overflow(kOverflow44, in.After(1), len);
    in.Skip(1);
    for (TeleACChannel& ch : channels_) {
        if (!in.Has(5)) return Overflow(kOverflow44, in.After(5), len);
        const unsigned char* states = in.Take(4);
        const std::uint8_t extra = in.Byte();
        if (!Store && extra != 0) InfoLog(kExtraCount44, dataId_, static_cast<int>(extra));
        if (!in.Has(extra + 1)) return Overflow(kOverflow44, in.After(extra + 1), len);
        in.Skip(extra);
        const std::uint8_t userCount = in.Byte();
        if (!Store && userCount != TeleACChannel::p40_44_SIZE())
            InfoLog(kUserCount44, dataId_, static_cast<int>(userCount), TeleACChannel::p40_44_SIZE());
        if (!in.Has(userCount)) return Overflow(kOverflow44, in.After(userCount), len);
        const unsigned char* userBytes = in.Take(userCount);
        if constexpr (Store) {
            ch.a_alert = states[0];
            ch.b_alert = states[1];
            ch.c_alert = states[2];
            ch.f_alert = states[3];
            ch.p40_44_num = userCount;
            if (userCount == TeleACChannel::p40_44_SIZE())
                std::memcpy(BytesOf(ch.p40_44), userBytes, userCount);
        }
    }
    if (!in.Has(3)) return Overflow(kOverflow44, in.After(3), len);
    const unsigned char* panel = in.Take(3);
    if constexpr (Store) {
        data_.ia_alert = panel[0];
        data_.ib_alert = panel[1];
        data_.ic_alert = panel[2];
    }
    return in.Pos();
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_44(const unsigned char* p, int len) {
    if (Walk40_44<false>(p, len) < 0) return -1;
    return Walk40_44<true>(p, len);
}

// -------------------------------------------------------------- restore ---

template <typename TeleAC, typename TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::LoadFromCache(const unsigned char* data, int len) {
    constexpr int kPanel = static_cast<int>(sizeof(TeleAC));
    constexpr int kChannel = static_cast<int>(sizeof(TeleACChannel));
    if (data == nullptr || len <= kPanel) return false;
    // The image is checked whole before anything is replaced.
    TeleAC panel;
    std::memcpy(&panel, data, sizeof panel);
    const int count = panel.channel_num;
    if (len - kPanel != kChannel * count) return false;
    data_ = panel;
    channels_.resize(static_cast<std::size_t>(count));
    std::memcpy(static_cast<void*>(channels_.data()), data + kPanel, static_cast<std::size_t>(len - kPanel));
    MarkRestored();
    return true;
}

// --------------------------------------------------------------- lookup ---

template <typename TeleAC, typename TeleACChannel, int RT_AC>
float PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Get_Value(std::uint32_t /*id*/,
                                                             const std::string& name) const {
    CheckFresh();
    if (name == "ia") return data_.ia;
    if (name == "ib") return data_.ib;
    if (name == "ic") return data_.ic;
    if (name == "ia_alert") return static_cast<float>(data_.ia_alert);
    if (name == "ib_alert") return static_cast<float>(data_.ib_alert);
    if (name == "ic_alert") return static_cast<float>(data_.ic_alert);

    const auto channel = ac_detail::FindChannelName(name);
    if (!channel) throw std::out_of_range("数据未提供");

    // The index (at least one digit) is bounded digit by digit, so no count of
    // digits can overflow it.
    const std::size_t count = channels_.size();
    std::size_t index = 0;
    for (const char digit : channel->digits) {
        index = index * 10 + static_cast<std::size_t>(digit - '0');
        if (index >= count) throw std::out_of_range("通道参数越界");
    }

    const TeleACChannel& ch = channels_[index];
    const std::string_view letter = channel->letter;
    if (letter == "a") return ch.a;
    if (letter == "b") return ch.b;
    if (letter == "c") return ch.c;
    if (letter == "f") return ch.f;
    throw std::out_of_range("数据未提供");
}

// -------------------------------------------------------- configuration ---

template <typename TeleAC, typename TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::InitV(VNQVDevice* parent, std::uint32_t id,
                                                        const Json::Value& config) {
    data_.data_id = id;
    // An element that is neither an object nor null makes the JSON library
    // throw here, after the id is stored; the caller sees its error.
    const Json::Value& app = config["appSetting"];
    if (app.isObject()) {
        ac_detail::ReadDeadBand(app, "diff_v", diffV_);
        ac_detail::ReadDeadBand(app, "diff_i", diffI_);
    }
    return ChildDevice::InitV(parent, id, config);
}

// ------------------------------------------------------------ round end ---

template <typename TeleAC, typename TeleACChannel, int RT_AC>
std::uint8_t PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::StateOf(const TeleACChannel& ch,
                                                                  ac_rules::StateByte s) {
    switch (s) {
        case ac_rules::StateByte::A: return ch.a_alert;
        case ac_rules::StateByte::B: return ch.b_alert;
        case ac_rules::StateByte::C: return ch.c_alert;
        case ac_rules::StateByte::F: return ch.f_alert;
        default: return 0;
    }
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
std::uint8_t PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::StateOf(ac_rules::StateByte s) const {
    switch (s) {
        case ac_rules::StateByte::IA: return data_.ia_alert;
        case ac_rules::StateByte::IB: return data_.ib_alert;
        case ac_rules::StateByte::IC: return data_.ic_alert;
        default: return 0;
    }
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::RoundDone() {
    using ac_rules::kChannelRows;
    using ac_rules::kRuleCount;
    using ac_rules::kRules;

    TouchLastUpdate();
    StampTime(data_.ttime);

    FillSnapshot(snapshot_, snapshotLen_, data_, channels_);

    MarkValid();
    SendSP(RT_AC, snapshot_.get(), static_cast<unsigned>(snapshotLen_), false);

    const auto& strings = ac_detail::Strings();
    BeginRules();
    for (std::size_t i = 0; i < channels_.size(); ++i) {
        for (std::size_t k = 0; k < kChannelRows; ++k) {
            const ac_rules::Rule& r = kRules[k];
            Report(r.level, strings[k].key, strings[k].alarmId, strings[k].name, channelTexts_[k](i + 1),
                   StateOf(channels_[i], r.state) == r.value);
        }
    }
    for (std::size_t k = kChannelRows; k < kRuleCount; ++k) {
        const ac_rules::Rule& r = kRules[k];
        Report(r.level, strings[k].key, strings[k].alarmId, strings[k].name, strings[k].text,
               StateOf(r.state) == r.value);
    }
    DoImpCheckAlert();

    // The work item keeps its own copy of this round's image.
    HandOver(snapshot_.get(), static_cast<std::size_t>(snapshotLen_));
}
