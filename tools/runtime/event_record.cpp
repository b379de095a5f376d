#include "tools/runtime/event_record.h"

namespace rt {

Json::Value EventRecord(const RuntimeEvent& e) {
    Json::Value j(Json::objectValue);
    j["event"] = EventKindName(e.kind);
    // The runtimes of a site number their events together.
    j["seq"] = static_cast<Json::UInt64>(e.id);
    j["event_id"] = static_cast<Json::UInt64>(e.id);
    j["time"] = e.time;
    j["bus_data_id"] = e.bus_data_id;
    j["port"] = e.port;
    j["data_id"] = e.data_id;
    if (IsAlarmEvent(e.kind)) {
        j["rule_key"] = e.rule.key;
        j["alarm_id"] = e.rule.alarm_id;
        // The rule's position in its device's rule list: with data_id,
        // rule_key and alarm_id it names one channel's rule (model::RuleIdentity).
        j["rule_index"] = e.rule.seq;
        j["level"] = e.rule.level;
        j["name"] = e.rule.name;
        j["text"] = e.rule.text;
    } else {
        j["text"] = e.text;
    }
    return j;
}

}  // namespace rt
