#include "tools/model/field_order.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace model {
namespace {

std::vector<Member> Sorted(const RecordTable& r, bool head, const char* listName) {
    std::vector<Member> m;
    for (const FieldInfo& f : r.fields) m.push_back({f.name, &f});
    if (head) m.push_back({"error", nullptr});
    if (listName) m.push_back({listName, nullptr});
    std::sort(m.begin(), m.end(), [](const Member& a, const Member& b) { return std::strcmp(a.name, b.name) < 0; });
    return m;
}

}  // namespace

const FieldOrder& OrderOf(const DeviceTable& t) {
    static const std::map<const DeviceTable*, FieldOrder> orders = [] {
        std::map<const DeviceTable*, FieldOrder> o;
        for (const DeviceTable& d : DeviceTables())
            o[&d] = {Sorted(d.head, true, d.item ? d.list_name : nullptr),
                     d.item ? Sorted(*d.item, false, nullptr) : std::vector<Member>{}};
        return o;
    }();
    return orders.at(&t);
}

}  // namespace model
