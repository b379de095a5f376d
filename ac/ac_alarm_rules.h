#pragma once
// The AC alarm rules, reported at every round end: the channel rows once per
// input channel (channel order, table order within a channel), then the
// panel rows once. A rule is active while its state byte equals its value.
#include <cstddef>
#include <cstdint>

namespace ac_rules {

// The state byte a rule reads. A to F live in each channel record, IA to IC
// in the panel record.
enum class StateByte : std::uint8_t { A, B, C, F, IA, IB, IC };

constexpr bool IsChannelByte(StateByte s) {
    return s == StateByte::A || s == StateByte::B || s == StateByte::C || s == StateByte::F;
}

// Alarm-state values.
constexpr std::uint8_t kLow = 1;
constexpr std::uint8_t kHigh = 2;
constexpr std::uint8_t kPhaseLoss = 3;

struct Rule {
    int level;
    const char* key;
    const char* alarmId;
    const char* name;
    // Channel rows: the text after the channel label. Panel rows: the whole text.
    const char* text;
    StateByte state;
    std::uint8_t value;
};

// Channel rows carry the label "交流屏" + channel number (from 1) before their text.
constexpr const char* kChannelLabel = "交流屏";

constexpr Rule kRules[] = {
    {3, "AC_0", "06015", "交流输入电压过低告警", "输入线/相电压AB/A", StateByte::A, kLow},
    {3, "AC_1", "06015", "交流输入电压过低告警", "输入线/相电压BC/B", StateByte::B, kLow},
    {3, "AC_2", "06015", "交流输入电压过低告警", "输入线/相电压CA/C", StateByte::C, kLow},
    {3, "AC_3", "06019", "交流输入频率过低告警", "频率", StateByte::F, kLow},
    {2, "AC_4", "06014", "交流输入电压过高告警", "输入线/相电压AB/A", StateByte::A, kHigh},
    {2, "AC_5", "06014", "交流输入电压过高告警", "输入线/相电压BC/B", StateByte::B, kHigh},
    {2, "AC_6", "06014", "交流输入电压过高告警", "输入线/相电压CA/C", StateByte::C, kHigh},
    {2, "AC_7", "06018", "交流输入频率过高告警", "频率", StateByte::F, kHigh},
    {2, "AC_8", "06017", "交流输入缺相告警", "输入线/相电压AB/A", StateByte::A, kPhaseLoss},
    {2, "AC_9", "06017", "交流输入缺相告警", "输入线/相电压BC/B", StateByte::B, kPhaseLoss},
    {2, "AC_10", "06017", "交流输入缺相告警", "输入线/相电压CA/C", StateByte::C, kPhaseLoss},
    {3, "AC_12", "06029", "A相输入电流低于下限", "其他告警", StateByte::IA, kLow},
    {3, "AC_13", "06029", "B相输入电流低于下限", "其他告警", StateByte::IB, kLow},
    {3, "AC_14", "06029", "C相输入电流低于下限", "其他告警", StateByte::IC, kLow},
    {3, "AC_15", "06029", "A相输入电流高于上限", "其他告警", StateByte::IA, kHigh},
    {3, "AC_16", "06029", "B相输入电流高于上限", "其他告警", StateByte::IB, kHigh},
    {3, "AC_17", "06029", "C相输入电流高于上限", "其他告警", StateByte::IC, kHigh},
    {3, "AC_18", "06029", "A相输入电流缺项", "其他告警", StateByte::IA, kPhaseLoss},
    {3, "AC_19", "06029", "B相输入电流缺项", "其他告警", StateByte::IB, kPhaseLoss},
    {3, "AC_20", "06029", "C相输入电流缺项", "其他告警", StateByte::IC, kPhaseLoss},
};

constexpr std::size_t kRuleCount = sizeof(kRules) / sizeof(kRules[0]);

constexpr std::size_t CountChannelRows() {
    std::size_t n = 0;
    for (const Rule& r : kRules)
        if (IsChannelByte(r.state)) ++n;
    return n;
}
constexpr std::size_t kChannelRows = CountChannelRows();

// The channel rows come first, so a rule's index is also its text-cache index.
constexpr bool ChannelRowsFirst() {
    for (std::size_t k = 0; k < kRuleCount; ++k)
        if (IsChannelByte(kRules[k].state) != (k < kChannelRows)) return false;
    return true;
}
static_assert(kRuleCount == 20 && kChannelRows == 11, "11 channel rows and 9 panel rows");
static_assert(ChannelRowsFirst(), "channel rows precede the panel rows");

}  // namespace ac_rules
