#include "tools/model/snapshot_fields.h"

#include "tools/model/field_table.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace model {
namespace {

Json::Value Decode(const std::vector<FieldInfo>& fields, const std::uint8_t* p) {
    Json::Value out(Json::objectValue);
    for (const FieldInfo& f : fields) {
        const std::uint8_t* q = p + f.offset;
        // The table's names live as long as the program: keys by pointer.
        Json::Value& v = out[Json::StaticString(f.name)];
        switch (f.kind) {
            case FieldKind::kU8: v = q[0]; break;
            case FieldKind::kU32: {
                std::uint32_t u;
                std::memcpy(&u, q, 4);
                v = u;
                break;
            }
            case FieldKind::kF32: v = ReadF32(q); break;
            case FieldKind::kF32s: {
                if (f.count == 1) {
                    v = ReadF32(q);
                    break;
                }
                v = Json::Value(Json::arrayValue);
                v.resize(static_cast<Json::ArrayIndex>(f.count));
                for (std::size_t i = 0; i < f.count; ++i) v[static_cast<Json::ArrayIndex>(i)] = ReadF32(q + 4 * i);
                break;
            }
            case FieldKind::kU8s: {
                v = Json::Value(Json::arrayValue);
                v.resize(static_cast<Json::ArrayIndex>(f.count));
                for (std::size_t i = 0; i < f.count; ++i) v[static_cast<Json::ArrayIndex>(i)] = q[i];
                break;
            }
            case FieldKind::kTime: {
                char buf[32];
                std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", q[0] | q[1] << 8, q[2], q[3], q[4],
                              q[5], q[6]);
                v = buf;
                break;
            }
        }
    }
    return out;
}

// A snapshot that is shorter than its head record gives only an error.
Json::Value TooShort(std::size_t length, std::size_t want) {
    Json::Value out(Json::objectValue);
    out["error"] = "snapshot of " + std::to_string(length) + " bytes, shorter than its " + std::to_string(want) +
                   "-byte record";
    return out;
}

}  // namespace

Json::Value DecodeSnapshot(int typeNumber, const std::uint8_t* data, std::size_t length) {
    if (!data) length = 0;
    const DeviceTable* t = FindDeviceTable(typeNumber);
    if (!t) {
        Json::Value out(Json::objectValue);
        out["error"] = "unknown type number " + std::to_string(typeNumber);
        return out;
    }
    if (length < t->head.size) return TooShort(length, t->head.size);
    Json::Value out = Decode(t->head.fields, data);
    std::size_t want = t->head.size;
    if (t->item) {
        // The head is followed by as many item records as its count byte says.
        const std::size_t count = data[t->count_offset];
        const std::size_t itemSize = t->item->size;
        Json::Value& list = out[Json::StaticString(t->list_name)];
        list = Json::Value(Json::arrayValue);
        for (std::size_t i = 0; i < count && want + (i + 1) * itemSize <= length; ++i)
            list.append(Decode(t->item->fields, data + want + i * itemSize));
        want += count * itemSize;
    }
    if (length != want)
        out["error"] = "snapshot of " + std::to_string(length) + " bytes, " + std::to_string(want) + " expected";
    return out;
}

}  // namespace model
