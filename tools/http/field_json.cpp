#include "tools/http/field_json.h"

#include "tools/monitor/field_table.h"

#include <string>

namespace http {
namespace {

Json::Value RecordJson(const monitor::RecordTable& record) {
    Json::Value r(Json::objectValue);
    r["record"] = record.name;
    Json::Value& fields = r["fields"] = Json::Value(Json::arrayValue);
    for (const monitor::FieldInfo& f : record.fields) {
        Json::Value j(Json::objectValue);
        j["name"] = f.name;
        j["label"] = f.label;
        j["title"] = f.title;
        j["unit"] = f.unit;
        j["state_field"] = f.state_field ? Json::Value(f.state_field) : Json::Value();
        if (f.states != monitor::StateKind::kNone) {
            Json::Value& words = j["states"] = Json::Value(Json::objectValue);
            for (const auto& [value, word] : monitor::StateWords(f.states)) words[std::to_string(value)] = word;
        }
        fields.append(j);
    }
    return r;
}

}  // namespace

Json::Value FieldTableJson() {
    Json::Value out(Json::objectValue);
    for (const monitor::DeviceTable& t : monitor::DeviceTables()) {
        Json::Value& d = out[std::to_string(t.type_number)];
        d["device"] = t.device;
        d["list"] = t.list_name ? Json::Value(t.list_name) : Json::Value();
        d["head"] = RecordJson(t.head);
        d["item"] = t.item ? RecordJson(*t.item) : Json::Value();
    }
    return out;
}

}  // namespace http
