#include "tools/model/numeric_fields.h"

#include "tools/model/field_order.h"
#include "tools/model/field_table.h"

#include <cstring>
#include <string>

namespace model {
namespace {

// The numbers of one field under name (name.i for each element of a list),
// as DecodeSnapshot's object holds them; times are text and left out.
void Field(const FieldInfo& f, const std::uint8_t* q, std::string& name, rt::NamedValues& out) {
    const std::size_t base = name.size();
    auto each = [&](std::size_t i, double v) {
        name.resize(base);
        name += '.';
        name += std::to_string(i);
        out.emplace_back(name, v);
    };
    switch (f.kind) {
        case FieldKind::kU8: out.emplace_back(name, q[0]); break;
        case FieldKind::kU32: {
            std::uint32_t u;
            std::memcpy(&u, q, 4);
            out.emplace_back(name, u);
            break;
        }
        case FieldKind::kF32: out.emplace_back(name, ReadF32(q)); break;
        case FieldKind::kF32s:
            if (f.count == 1) {
                out.emplace_back(name, ReadF32(q));
                break;
            }
            for (std::size_t i = 0; i < f.count; ++i) each(i, ReadF32(q + 4 * i));
            break;
        case FieldKind::kU8s:
            for (std::size_t i = 0; i < f.count; ++i) each(i, q[i]);
            break;
        case FieldKind::kTime: break;
    }
    name.resize(base);
}

void Record(const std::vector<Member>& order, const std::uint8_t* p, std::string& name, rt::NamedValues& out) {
    const std::size_t base = name.size();
    for (const Member& m : order) {
        if (!m.field) continue;
        name.resize(base);
        if (base) name += '.';
        name += m.name;
        Field(*m.field, p + m.field->offset, name, out);
    }
    name.resize(base);
}

}  // namespace

// Walks the field table over the bytes, in the order and with the names of
// the decoded object's members, without building it (this runs for every
// snapshot the store aggregates).
void NumericFields(int typeNumber, const std::uint8_t* data, std::size_t length, rt::NamedValues& out) {
    const DeviceTable* t = FindDeviceTable(typeNumber);
    if (!t || !data || length < t->head.size) return;
    const FieldOrder& order = OrderOf(*t);
    std::string name;
    name.reserve(32);
    for (const Member& m : order.head) {
        if (m.field) {
            name = m.name;
            Field(*m.field, data + m.field->offset, name, out);
        } else if (t->item && std::strcmp(m.name, t->list_name) == 0) {
            // The items that fit, as many as the head's count byte says.
            const std::size_t count = data[t->count_offset];
            for (std::size_t i = 0; i < count && t->head.size + (i + 1) * t->item->size <= length; ++i) {
                name = m.name;
                name += '.';
                name += std::to_string(i);
                Record(order.item, data + t->head.size + i * t->item->size, name, out);
            }
        }
    }
}

}  // namespace model
