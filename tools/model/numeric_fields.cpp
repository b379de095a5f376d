#include "tools/model/numeric_fields.h"

#include "tools/model/field_order.h"
#include "tools/model/field_table.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace model {
namespace {

// One walk over the bytes gives the values; the names, made only for a
// layout not seen before, come from the same walk with `names` set.
struct Walk {
    std::vector<double>& values;
    rt::FieldNames* names;
    std::string name;

    void Push(double v, std::size_t base, std::size_t i, bool indexed) {
        values.push_back(v);
        if (!names) return;
        name.resize(base);
        if (indexed) {
            name += '.';
            name += std::to_string(i);
        }
        names->push_back(name);
    }

    // The numbers of one field (name.i for each element of a list), as
    // DecodeSnapshot's object holds them; times are text and left out.
    void Field(const FieldInfo& f, const std::uint8_t* q) {
        const std::size_t base = name.size();
        switch (f.kind) {
            case FieldKind::kU8: Push(q[0], base, 0, false); break;
            case FieldKind::kU32: {
                std::uint32_t u;
                std::memcpy(&u, q, 4);
                Push(u, base, 0, false);
                break;
            }
            case FieldKind::kF32: Push(ReadF32(q), base, 0, false); break;
            case FieldKind::kF32s:
                for (std::size_t i = 0; i < f.count; ++i) Push(ReadF32(q + 4 * i), base, i, f.count != 1);
                break;
            case FieldKind::kU8s:
                for (std::size_t i = 0; i < f.count; ++i) Push(q[i], base, i, true);
                break;
            case FieldKind::kTime: break;
        }
        name.resize(base);
    }

    void Named(const char* member, const FieldInfo& f, const std::uint8_t* q) {
        const std::size_t base = name.size();
        if (names) {
            if (base) name += '.';
            name += member;
        }
        Field(f, q);
        name.resize(base);
    }
};

struct Layouts {
    std::mutex mutex;
    std::map<std::pair<int, std::size_t>, rt::FieldNames> byKey;  // node-based: entries never move
};

Layouts& Known() {
    static Layouts* layouts = new Layouts;  // lives as long as the process, used from any thread
    return *layouts;
}

}  // namespace

// Walks the field table over the bytes, in the order and with the names of
// the decoded object's members, without building it (this runs for every
// snapshot the store aggregates).
const rt::FieldNames* NumericFields(int typeNumber, const std::uint8_t* data, std::size_t length,
                                    std::vector<double>& values) {
    const DeviceTable* t = FindDeviceTable(typeNumber);
    if (!t || !data || length < t->head.size) return nullptr;
    // The items that fit, as many as the head's count byte says.
    std::size_t items = 0;
    if (t->item)
        while (items < data[t->count_offset] && t->head.size + (items + 1) * t->item->size <= length) ++items;

    const std::pair<int, std::size_t> key{typeNumber, items};
    Layouts& known = Known();
    const rt::FieldNames* names = nullptr;
    {
        std::lock_guard<std::mutex> lock(known.mutex);
        const auto it = known.byKey.find(key);
        if (it != known.byKey.end()) names = &it->second;
    }
    rt::FieldNames fresh;
    Walk walk{values, names ? nullptr : &fresh, {}};
    const FieldOrder& order = OrderOf(*t);
    for (const Member& m : order.head) {
        if (m.field) {
            walk.name.clear();
            walk.Named(m.name, *m.field, data + m.field->offset);
        } else if (t->item && std::strcmp(m.name, t->list_name) == 0) {
            for (std::size_t i = 0; i < items; ++i) {
                if (!names) walk.name = std::string(m.name) + '.' + std::to_string(i);
                const std::uint8_t* item = data + t->head.size + i * t->item->size;
                for (const Member& im : order.item)
                    if (im.field) walk.Named(im.name, *im.field, item + im.field->offset);
            }
        }
    }
    if (names) return names;
    // A new layout; another thread may have added it meanwhile (the same names).
    std::lock_guard<std::mutex> lock(known.mutex);
    return &known.byKey.try_emplace(key, std::move(fresh)).first->second;
}

}  // namespace model
