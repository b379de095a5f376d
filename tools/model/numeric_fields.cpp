#include "tools/model/numeric_fields.h"

#include "tools/model/snapshot_fields.h"

namespace model {
namespace {

void Walk(const Json::Value& v, const std::string& name, rt::NamedValues& out) {
    if (v.isObject()) {
        for (auto it = v.begin(); it != v.end(); ++it)
            Walk(*it, name.empty() ? it.name() : name + "." + it.name(), out);
    } else if (v.isArray()) {
        for (Json::ArrayIndex i = 0; i < v.size(); ++i) Walk(v[i], name + "." + std::to_string(i), out);
    } else if (v.isNumeric() && !v.isBool() && !name.empty()) {
        out.emplace_back(name, v.asDouble());
    }
}

}  // namespace

void NumericFields(int typeNumber, const std::uint8_t* data, std::size_t length, rt::NamedValues& out) {
    const Json::Value fields = DecodeSnapshot(typeNumber, data, length);
    for (auto it = fields.begin(); it != fields.end(); ++it)
        if (it.name() != "error") Walk(*it, it.name(), out);
}

}  // namespace model
