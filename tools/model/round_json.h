#pragma once
// The round object's JSON, written straight from a RoundData: the same text
// jsoncpp would write for the tree of the same members (members of every
// object in name order, rt::JsonLine's numbers), at a fraction of the cost.
#include "tools/model/round_data.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace model {

void AppendRound(std::string& out, const RoundData& r);
// One device's object of "devices".
void AppendDevice(std::string& out, const RoundData& r, const DeviceRound& d);
// The decoded fields of a snapshot: the text of JsonLine(DecodeSnapshot(...)).
void AppendSnapshotFields(std::string& out, int typeNumber, const std::uint8_t* data, std::size_t length);

}  // namespace model
