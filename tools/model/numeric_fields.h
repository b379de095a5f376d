#pragma once
// A snapshot's numeric fields flattened to the names /api/history takes
// ("v", "channels.0.a", "modules.2.value"): what the history store
// aggregates per minute and hour. The monitor hands NumericFields to the
// store (rt::HistoryStore::SetDecoder), which sits below the model.
#include "tools/runtime/history_store.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace model {

// Appends the value of every numeric field of the decoded snapshot
// (DecodeSnapshot's "fields"; booleans, text and times left out) and
// returns their names, in the same order: one object per layout (device
// type and items present), made on first use and kept for the process.
// nullptr for a snapshot it cannot decode.
const rt::FieldNames* NumericFields(int typeNumber, const std::uint8_t* data, std::size_t length,
                                    std::vector<double>& values);

}  // namespace model
