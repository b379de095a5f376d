#pragma once
// The DC unit's alarm rules, reported in table order at every round end.
#include <cstdint>

namespace dc_rules {

// Output-voltage rules: active when v_alert equals state. Name and text are the same.
struct VoltageRule {
    int level;
    const char* key;
    const char* alarmId;
    const char* nameAndText;
    std::uint8_t state;
};

constexpr VoltageRule kVoltage[] = {
    {3, "DC_0", "06008", "输出电压过低告警", 1},
    {3, "DC_1", "06009", "输出电压过高告警", 2},
};

// Battery-fuse rule, one per alert_m entry, only when the unit reports a full
// list; the text is "直流" + entry number (from 1) + the name.
constexpr int kFuseLevel = 1;
constexpr const char* kFuseKey = "DC_3";
constexpr const char* kFuseAlarmId = "06001";
constexpr const char* kFuseName = "电池熔丝故障告警";
constexpr const char* kFuseLabel = "直流";
constexpr std::uint8_t kFuseFault = 3;

}  // namespace dc_rules
