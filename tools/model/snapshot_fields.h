#pragma once
// Names the fields of the children's snapshots: AC (5106: panel record and
// channel records), rectifiers (5107: group record and module records) and
// DC (5108: one record). The layouts are the devices' own record headers.
#include <json/value.h>

#include <cstddef>
#include <cstdint>

namespace model {

// The decoded fields as a JSON object. Never reads past length; a snapshot
// too short for its records, or of an unknown type, gives an object with
// an "error" member (and the fields of the records that fit).
Json::Value DecodeSnapshot(int typeNumber, const std::uint8_t* data, std::size_t length);

}  // namespace model
