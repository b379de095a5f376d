#pragma once
// The rectifier device's one alarm rule, reported once per module at every
// round end; the text is "模块" + module number (from 1) + the name.
#include <cstdint>

namespace rc_rules {

constexpr int kFaultLevel = 2;
constexpr const char* kFaultKey = "RC_0";
constexpr const char* kFaultAlarmId = "06024";
constexpr const char* kFaultName = "整流模块故障告警";
constexpr const char* kModuleLabel = "模块";
// Only this fault byte value makes the rule active.
constexpr std::uint8_t kFaultActive = 1;

}  // namespace rc_rules
