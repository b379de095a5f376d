#pragma once
// The members of a snapshot's decoded object in name order, as a JSON tree
// keeps them: the order in which the round's text and the history store's
// numeric fields walk a record without building the tree.
#include "tools/model/field_table.h"

#include <vector>

namespace model {

// A record's member; in a head record the item list (field nullptr, the
// list's name) and the error member (field nullptr, "error") sort in.
struct Member {
    const char* name;
    const FieldInfo* field;
};

struct FieldOrder {
    std::vector<Member> head, item;
};

const FieldOrder& OrderOf(const DeviceTable& t);

}  // namespace model
