#pragma once
// A snapshot's numeric fields flattened to the names /api/history takes
// ("v", "channels.0.a", "modules.2.value"): what the history store
// aggregates per minute and hour. The monitor hands this to the store
// (rt::HistoryStore::SetDecoder), which sits below the model.
#include "tools/runtime/history_store.h"

#include <cstddef>
#include <cstdint>

namespace model {

// Appends name and value of every numeric field of the decoded snapshot
// (DecodeSnapshot's "fields"); booleans, text and times are left out.
void NumericFields(int typeNumber, const std::uint8_t* data, std::size_t length, rt::NamedValues& out);

}  // namespace model
