#include "tools/model/field_table.h"

#include "ac/ac_alarm_rules.h"
#include "ac/ac_records.h"
#include "dc/dc_alarm_rules.h"
#include "dc/dc_record.h"
#include "rc/rc_alarm_rule.h"
#include "rc/rc_records.h"

#include <algorithm>
#include <cstring>

namespace model {
namespace {

using AcPanel = tele_c_qzl4200_ac;
using AcChannel = tele_c_qzl4200_ac_channel;
using Dc = tele_c_qzl4200_dc;
using RcGroup = tele_c_qzl4200_rc;
using RcModule = tele_c_qzl4200_rc_channel;

using K = FieldKind;
using S = StateKind;

// A value field, its state byte and a bookkeeping field (counts, ids).
#define VALUE(T, m, kind, label, title, unit, state) \
    FieldInfo{#m, offsetof(T, m), kind, 1, label, title, unit, S::kNone, state}
#define FLOATS(T, m, label, title, unit) \
    FieldInfo{#m, offsetof(T, m), K::kF32s, sizeof(T::m) / 4, label, title, unit, S::kNone, nullptr}
#define STATE(T, m, label, title, states) FieldInfo{#m, offsetof(T, m), K::kU8, 1, label, title, "", states, nullptr}
#define STATES(T, m, label, title, states) \
    FieldInfo{#m, offsetof(T, m), K::kU8s, sizeof(T::m), label, title, "", states, nullptr}
#define BOOK(T, m, kind, title) FieldInfo{#m, offsetof(T, m), kind, 1, "", title, "", S::kNone, nullptr}

// Zero-length arrays of a model have no entry.
const RecordTable kAcChannel{
    "AC channel",
    sizeof(AcChannel),
    {
        VALUE(AcChannel, a, K::kF32, "A", "line/phase voltage AB/A", "V", "a_alert"),
        VALUE(AcChannel, b, K::kF32, "B", "line/phase voltage BC/B", "V", "b_alert"),
        VALUE(AcChannel, c, K::kF32, "C", "line/phase voltage CA/C", "V", "c_alert"),
        VALUE(AcChannel, f, K::kF32, "f", "input frequency", "Hz", "f_alert"),
        BOOK(AcChannel, p40_41_num, K::kU8, "user-defined value count"),
        STATE(AcChannel, a_alert, "A state", "state of voltage AB/A", S::kLowHighLoss),
        STATE(AcChannel, b_alert, "B state", "state of voltage BC/B", S::kLowHighLoss),
        STATE(AcChannel, c_alert, "C state", "state of voltage CA/C", S::kLowHighLoss),
        STATE(AcChannel, f_alert, "f state", "state of the frequency", S::kLowHigh),
        BOOK(AcChannel, p40_44_num, K::kU8, "user-defined alarm count"),
        STATES(AcChannel, p40_44, "user alarms", "user-defined alarm bytes", S::kRaw),
    }};

const RecordTable kRcModule{
    "rectifier module",
    sizeof(RcModule),
    {
        FLOATS(RcModule, value, "current", "module output current", "A"),
        BOOK(RcModule, p41_41_num, K::kU8, "user-defined value count"),
        FLOATS(RcModule, p41_41, "user", "user-defined values", ""),
        STATES(RcModule, state, "state", "module state bytes", S::kRaw),
        BOOK(RcModule, p41_43_num, K::kU8, "user-defined state count"),
        STATES(RcModule, p41_43, "user state", "user-defined state bytes", S::kRaw),
        STATE(RcModule, fault, "fault", "module fault", S::kModuleFault),
        BOOK(RcModule, p41_44_num, K::kU8, "user-defined alarm count"),
        STATES(RcModule, p41_44, "user alarms", "user-defined alarm bytes", S::kRaw),
    }};

const std::vector<DeviceTable> kTables = {
    {5106,
     "AC",
     {"AC panel",
      sizeof(AcPanel),
      {
          BOOK(AcPanel, data_id, K::kU32, "data id"),
          VALUE(AcPanel, ia, K::kF32, "Ia", "phase current A", "A", "ia_alert"),
          VALUE(AcPanel, ib, K::kF32, "Ib", "phase current B", "A", "ib_alert"),
          VALUE(AcPanel, ic, K::kF32, "Ic", "phase current C", "A", "ic_alert"),
          BOOK(AcPanel, channel_num, K::kU8, "input channel count"),
          BOOK(AcPanel, airlock_num, K::kU8, "breaker count"),
          BOOK(AcPanel, p40_43_num, K::kU8, "user-defined status count"),
          STATES(AcPanel, p40_43, "status", "user-defined status bytes", S::kRaw),
          STATE(AcPanel, ia_alert, "Ia state", "state of phase current A", S::kLowHighMissing),
          STATE(AcPanel, ib_alert, "Ib state", "state of phase current B", S::kLowHighMissing),
          STATE(AcPanel, ic_alert, "Ic state", "state of phase current C", S::kLowHighMissing),
          BOOK(AcPanel, ttime, K::kTime, "time of the last round end"),
      }},
     &kAcChannel,
     offsetof(AcPanel, channel_num),
     "channels"},
    {5107,
     "rectifiers",
     {"rectifier group",
      sizeof(RcGroup),
      {
          BOOK(RcGroup, data_id, K::kU32, "data id"),
          FLOATS(RcGroup, p40_46, "40_46", "AC group parameters", ""),
          FLOATS(RcGroup, p42_46_fixed, "42_46", "DC group parameters", ""),
          BOOK(RcGroup, p42_46_num, K::kU8, "user-defined parameter count"),
          STATES(RcGroup, p42_46, "42_46 user", "user-defined parameter bytes", S::kNone),
          FLOATS(RcGroup, group_value, "group", "group output voltage", "V"),
          BOOK(RcGroup, channel_num, K::kU8, "module count"),
          BOOK(RcGroup, ttime, K::kTime, "time of the last round end"),
      }},
     &kRcModule,
     offsetof(RcGroup, channel_num),
     "modules"},
    {5108,
     "DC",
     {"DC unit",
      sizeof(Dc),
      {
          BOOK(Dc, data_id, K::kU32, "data id"),
          VALUE(Dc, v, K::kF32, "V", "output voltage", "V", "v_alert"),
          VALUE(Dc, i, K::kF32, "I", "load current", "A", nullptr),
          BOOK(Dc, dc_m, K::kU8, "battery current count"),
          FLOATS(Dc, m_value, "battery", "battery currents", "A"),
          BOOK(Dc, dc_n, K::kU8, "load branch current count"),
          FLOATS(Dc, n_value, "branch", "load branch currents", "A"),
          BOOK(Dc, p_count, K::kU8, "user-defined value count"),
          FLOATS(Dc, user_p, "user", "user-defined values", ""),
          STATE(Dc, v_alert, "V state", "state of the output voltage", S::kLowHigh),
          BOOK(Dc, alert_m_num, K::kU8, "fuse count"),
          STATES(Dc, alert_m, "fuses", "battery fuse states", S::kFuse),
          BOOK(Dc, alert_p_num, K::kU8, "user-defined alarm count"),
          STATES(Dc, alert_p, "user alarms", "user-defined alarm bytes", S::kRaw),
          BOOK(Dc, ttime, K::kTime, "time of the last round end"),
      }},
     nullptr,
     0,
     nullptr},
};

#undef VALUE
#undef FLOATS
#undef STATE
#undef STATES
#undef BOOK

// Alarm-state values with a word, by kind; the values are those the
// devices' alarm rules compare with.
struct StateName {
    StateKind kind;
    unsigned value;
    const char* word;
};
const StateName kStateNames[] = {
    {S::kLowHighLoss, ac_rules::kLow, "low"},
    {S::kLowHighLoss, ac_rules::kHigh, "high"},
    {S::kLowHighLoss, ac_rules::kPhaseLoss, "phase loss"},
    {S::kLowHighMissing, ac_rules::kLow, "low"},
    {S::kLowHighMissing, ac_rules::kHigh, "high"},
    {S::kLowHighMissing, ac_rules::kPhaseLoss, "missing"},
    {S::kLowHigh, dc_rules::kVoltage[0].state, "low"},
    {S::kLowHigh, dc_rules::kVoltage[1].state, "high"},
    {S::kFuse, dc_rules::kFuseFault, "fuse fault"},
    {S::kModuleFault, rc_rules::kFaultActive, "fault"},
};

}  // namespace

const std::vector<DeviceTable>& DeviceTables() { return kTables; }

const DeviceTable* FindDeviceTable(int typeNumber) {
    for (const DeviceTable& t : kTables)
        if (t.type_number == typeNumber) return &t;
    return nullptr;
}

const FieldInfo* FindField(const std::vector<FieldInfo>& fields, const char* name) {
    if (!name) return nullptr;
    for (const FieldInfo& f : fields)
        if (std::strcmp(f.name, name) == 0) return &f;
    return nullptr;
}

std::string StateWord(StateKind kind, unsigned value) {
    if (kind == S::kNone || value == 0) return "";
    for (const StateName& n : kStateNames)
        if (n.kind == kind && n.value == value) return n.word;
    return "state " + std::to_string(value);
}

std::vector<std::pair<unsigned, const char*>> StateWords(StateKind kind) {
    std::vector<std::pair<unsigned, const char*>> out;
    for (const StateName& n : kStateNames)
        if (n.kind == kind) out.emplace_back(n.value, n.word);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace model
