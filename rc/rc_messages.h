#pragma once
// Log texts of the rectifier decoders, as the host's log expects them.
// "{}" placeholders are filled in order, the data id first.

namespace rc_messages {

// (data id, count received, count kept)
constexpr const char* kUserCount41 =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 p is {} not {}";
constexpr const char* kUserCount43 =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_43 p is {}, not {}";
constexpr const char* kUserCount44 =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_44 p is {}, not {}";
// (data id, module count received, module count adopted); the text ends with a blank.
constexpr const char* kModuleCount44 =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 channel_count not equal {} != {} ";
// (data id, count received, count expected)
constexpr const char* kUserCount46 = "WKB09F:ProcotolError parse42_46 {} p:{} != {}";

// (data id, position the read would reach, length given)
constexpr const char* kInChannel41 = "PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}";
constexpr const char* kOverflow41 = "PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}";
constexpr const char* kOverflow43 = "PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}";
constexpr const char* kOverflow44 = "PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}";
constexpr const char* kOverflow40_46 = "PMBusPowerAC:ProcotolError {} read 40_46 read overflow {} - {}";
constexpr const char* kOverflow42_46 = "PMBusPowerAC:ProcotolError {} read 42_46 read overflow {} - {}";

}  // namespace rc_messages
