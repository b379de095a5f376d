#include "tools/http/field_json.h"

#include "tools/model/field_table.h"

#include <string>

namespace http {
namespace {

Json::Value RecordJson(const model::RecordTable& record) {
    Json::Value r(Json::objectValue);
    r["record"] = record.name;
    Json::Value& fields = r["fields"] = Json::Value(Json::arrayValue);
    for (const model::FieldInfo& f : record.fields) {
        Json::Value j(Json::objectValue);
        j["name"] = f.name;
        j["label"] = f.label;
        j["title"] = f.title;
        j["unit"] = f.unit;
        j["state_field"] = f.state_field ? Json::Value(f.state_field) : Json::Value();
        if (f.states != model::StateKind::kNone) {
            Json::Value& words = j["states"] = Json::Value(Json::objectValue);
            for (const auto& [value, word] : model::StateWords(f.states)) words[std::to_string(value)] = word;
        }
        fields.append(j);
    }
    return r;
}

}  // namespace

Json::Value FieldTableJson() {
    Json::Value out(Json::objectValue);
    for (const model::DeviceTable& t : model::DeviceTables()) {
        Json::Value& d = out[std::to_string(t.type_number)];
        d["device"] = t.device;
        d["list"] = t.list_name ? Json::Value(t.list_name) : Json::Value();
        d["head"] = RecordJson(t.head);
        d["item"] = t.item ? RecordJson(*t.item) : Json::Value();
    }
    return out;
}

}  // namespace http
