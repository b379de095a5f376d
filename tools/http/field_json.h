#pragma once
// The field table (tools/model/field_table.h) as the JSON of /api/fields,
// so the page takes its labels, units and state words from the same table
// as the terminal dashboard:
//   {"5106": {"device": "AC", "list": "channels",
//             "head": {"record": "AC panel", "fields": [FIELD, ...]},
//             "item": {"record": "AC channel", "fields": [...]}}, ...}
//   FIELD: {"name", "label", "title", "unit", "state_field" (name or null),
//           "states" (only for alarm-state bytes: {"1": "low", ...})}
#include <json/value.h>

namespace http {

Json::Value FieldTableJson();

}  // namespace http
