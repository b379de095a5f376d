#pragma once
// The rectifier device: decodes the rectifier group's answers (41_41 module
// values, 41_43 module states, 41_44 module alarms) and the parameter answers
// of the AC and DC groups (40_46, 42_46) into its records, and at every round
// end publishes them as one snapshot and reports one fault rule per module.
// It offers no named signals: Get_Value only tells stale from missing data.
//
// The decoders check every byte they need before reading it and stop with
// the overflow line of that place when the answer ends early. The module
// count is adopted once, from the first 41_41 answer that fits in full.
#include "common/byte_reader.h"
#include "common/child_device.h"
#include "common/snapshot.h"
#include "common/wire_value.h"
#include "rc/rc_alarm_rule.h"
#include "rc/rc_messages.h"

#include <json/value.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
class PMBusPowerRC : public ChildDevice {
public:
    PMBusPowerRC() : data_{}, moduleTexts_(rc_rules::kModuleLabel, rc_rules::kFaultName) {}
    ~PMBusPowerRC() override = default;

    // Always throws: "数据已超时" for stale data, else "数据未就绪".
    float Get_Value(std::uint32_t id, const std::string& name) const override;
    using ChildDevice::LoadFromCache;
    bool LoadFromCache(const unsigned char* data, int length) override;
    void RoundDone() override;
    bool InitV(VNQVDevice* parent, std::uint32_t id, const Json::Value& config) override;

    // Each returns the bytes of the answer it consumed, or -1.
    virtual int parse41_41(const unsigned char* data, int length);
    virtual int parse41_43(const unsigned char* data, int length);
    virtual int parse41_44(const unsigned char* data, int length);
    virtual int parse40_46(const unsigned char* data, int length);
    virtual int parse42_46(const unsigned char* data, int length);
    // Model-specific rules, reported after the module rules in the same batch.
    virtual void DoImpCheckAlert() {}

    const TeleRC& Record() const { return data_; }
    const std::vector<TeleRCChannel>& Channels() const { return channels_; }
    std::uint32_t SnapshotLength() const { return snapshotLen_; }
    const unsigned char* Snapshot() const { return snapshot_.get(); }

protected:
    TeleRC data_;
    // Always channel_num records once the count is adopted.
    std::vector<TeleRCChannel> channels_;
    // The snapshot buffer: made at the first round end, remade when the module count changes.
    std::uint32_t snapshotLen_ = 0;
    std::unique_ptr<unsigned char[]> snapshot_;

private:
    // Decodes count module blocks of a 41_41 answer into dst.
    int DecodeModuleValues(wire::ByteReader& in, TeleRCChannel* dst, std::size_t count, int length);
    int Overflow(const char* fmt, long long reached, int length) {
        InfoLog(fmt, dataId_, static_cast<int>(reached), length);
        return -1;
    }

    NumberedText moduleTexts_;  // "模块<n>整流模块故障告警"
};

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::DecodeModuleValues(wire::ByteReader& in, TeleRCChannel* dst,
                                                                   std::size_t count, int length) {
    using namespace rc_messages;
    constexpr std::uint8_t kUser = TeleRCChannel::P41_41_SIZE();
    for (std::size_t k = 0; k < count; ++k) {
        TeleRCChannel& ch = dst[k];
        if (!in.Has(5)) return Overflow(kOverflow41, in.After(5), length);
        std::memcpy(ch.value, in.Take(4), 4);
        ch.p41_41_num = in.Byte();
        if (ch.p41_41_num != kUser) {
            InfoLog(kUserCount41, dataId_, ch.p41_41_num, kUser);
            if (!in.Has(4LL * ch.p41_41_num)) return Overflow(kOverflow41, in.After(4LL * ch.p41_41_num), length);
            in.Skip(4 * ch.p41_41_num);
            continue;
        }
        if (!in.Has(4LL * kUser)) return Overflow(kInChannel41, in.After(4LL * kUser), length);
        for (int j = 0; j < kUser; ++j) wire::CopyValueOrZero(ch.p41_41 + 4 * j, in.Take(4));
    }
    return in.Pos();
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_41(const unsigned char* data, int length) {
    wire::ByteReader in(data, length);
    if (!in.Has(6)) return Overflow(rc_messages::kOverflow41, in.After(6), length);
    in.Skip(1);  // DATAFLAG, the bus device's
    std::memcpy(data_.group_value, in.Take(4), 4);
    const std::uint8_t n = in.Byte();

    if (channels_.empty()) {
        // The count is adopted only from an answer that fits in full, so a
        // cut first answer cannot fix a wrong count for good.
        std::vector<TeleRCChannel> fresh(n);
        const int r = DecodeModuleValues(in, fresh.data(), fresh.size(), length);
        if (r < 0) return r;
        channels_.swap(fresh);
        data_.channel_num = n;
        return r;
    }
    if (data_.channel_num != n) return -1;
    return DecodeModuleValues(in, channels_.data(), channels_.size(), length);
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_43(const unsigned char* data, int length) {
    using namespace rc_messages;
    constexpr std::uint8_t kUser = TeleRCChannel::P41_43_SIZE();
    wire::ByteReader in(data, length);
    if (!in.Has(2)) return Overflow(kOverflow43, in.After(2), length);
    in.Skip(1);
    const std::uint8_t m = in.Byte();
    // channels_ holds channel_num records.
    if (channels_.size() < m) return -1;

    for (std::size_t k = 0; k < m; ++k) {
        TeleRCChannel& ch = channels_[k];
        if (!in.Has(4)) return Overflow(kOverflow43, in.After(4), length);
        std::memcpy(ch.state, in.Take(3), 3);
        ch.p41_43_num = in.Byte();
        const std::uint8_t p = ch.p41_43_num;
        if (p != kUser) InfoLog(kUserCount43, dataId_, p, kUser);
        if (!in.Has(p)) return Overflow(kOverflow43, in.After(p), length);
        if (p != kUser)
            in.Skip(p);
        else
            std::memcpy(ch.p41_43, in.Take(p), p);
    }
    return in.Pos();
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_44(const unsigned char* data, int length) {
    using namespace rc_messages;
    constexpr std::uint8_t kUser = TeleRCChannel::P41_44_SIZE();
    wire::ByteReader in(data, length);
    if (!in.Has(2)) return Overflow(kOverflow44, in.After(2), length);
    in.Skip(1);
    const std::uint8_t m = in.Byte();
    if (channels_.size() < m) {
        const std::uint8_t adopted = data_.channel_num;
        InfoLog(kModuleCount44, dataId_, m, adopted);
        return 0;
    }

    for (std::size_t k = 0; k < m; ++k) {
        TeleRCChannel& ch = channels_[k];
        if (!in.Has(2)) return Overflow(kOverflow44, in.After(2), length);
        ch.fault = in.Byte();
        ch.p41_44_num = in.Byte();
        const std::uint8_t p = ch.p41_44_num;
        if (p != kUser) InfoLog(kUserCount44, dataId_, p, kUser);
        if (!in.Has(p)) return Overflow(kOverflow44, in.After(p), length);
        if (p != kUser)
            in.Skip(p);
        else
            std::memcpy(ch.p41_44, in.Take(p), p);
    }
    return in.Pos();
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse40_46(const unsigned char* data, int length) {
    // No DATAFLAG: five values, then the user-defined count.
    wire::ByteReader in(data, length);
    if (!in.Has(21)) return Overflow(rc_messages::kOverflow40_46, in.After(21), length);
    std::memcpy(data_.p40_46, in.Take(20), 20);
    const std::uint8_t p = in.Byte();
    // The user-defined values are passed over unread; they need not be present.
    return 21 + 4 * p;
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse42_46(const unsigned char* data, int length) {
    // No DATAFLAG: two values, the user-defined count and its values.
    wire::ByteReader in(data, length);
    if (!in.Has(9)) return Overflow(rc_messages::kOverflow42_46, in.After(9), length);
    std::memcpy(data_.p42_46_fixed, in.Take(8), 8);
    data_.p42_46_num = in.Byte();
    if (data_.p42_46_num != TeleRC::P42_46_NUMBER()) {
        InfoLog(rc_messages::kUserCount46, dataId_, data_.p42_46_num, TeleRC::P42_46_NUMBER());
        return 9 + 4 * data_.p42_46_num;
    }
    // As many of the expected bytes as the answer holds; the rest keep their old bytes.
    const int n = std::min<int>(TeleRC::P42_46_SIZE(), length - 9);
    std::memcpy(data_.p42_46, in.Take(n), static_cast<std::size_t>(n));
    return in.Pos();
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::LoadFromCache(const unsigned char* data, int length) {
    constexpr int kGroup = static_cast<int>(sizeof(TeleRC));
    constexpr int kModule = static_cast<int>(sizeof(TeleRCChannel));
    std::printf("rc data_len:%d vs %d\n", length, kGroup);
    if (data == nullptr || length < kGroup) return false;

    // The image is checked in full before anything is taken from it.
    TeleRC group;
    std::memcpy(&group, data, sizeof group);
    const std::uint8_t count = group.channel_num;
    const int left = length - kGroup;
    std::printf("rc channelLen %d and %u left:%d\n", kModule, static_cast<unsigned>(count), left);
    if (left != kModule * count) return false;

    data_ = group;
    channels_.assign(count, TeleRCChannel{});
    if (count != 0) std::memcpy(channels_.data(), data + kGroup, static_cast<std::size_t>(left));
    MarkRestored();
    return true;
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
float PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::Get_Value(std::uint32_t /*id*/,
                                                            const std::string& /*name*/) const {
    CheckFresh();
    throw std::out_of_range("数据未就绪");
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::InitV(VNQVDevice* parent, std::uint32_t id,
                                                       const Json::Value& config) {
    data_.data_id = id;
    return ChildDevice::InitV(parent, id, config);
}

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
void PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::RoundDone() {
    MarkValid();
    TouchLastUpdate();
    StampTime(data_.ttime);

    FillSnapshot(snapshot_, snapshotLen_, data_, channels_);
    SendSP(RT_RC, snapshot_.get(), snapshotLen_, false);

    // The key, alarm id and name as the host takes them, built once per process.
    static const std::string key(rc_rules::kFaultKey), alarmId(rc_rules::kFaultAlarmId),
        name(rc_rules::kFaultName);
    BeginRules();
    for (std::size_t k = 0; k < channels_.size(); ++k) {
        Report(rc_rules::kFaultLevel, key, alarmId, name, moduleTexts_(k + 1),
               channels_[k].fault == rc_rules::kFaultActive);
    }
    DoImpCheckAlert();

    // The item saves a copy of this round's image, whatever later rounds do to snapshot_.
    HandOver(snapshot_.get(), snapshotLen_);
}
