#pragma once
// The requests the simulated power system answers, as a table: codes, the
// payloads a request may carry, and how the answer's INFO is built.
#include "tools/sim/info_builder.h"

#include <cstdint>
#include <string>

namespace sim {

// Payloads a request may carry.
enum class Payload {
    none,              // no INFO
    group_byte,        // exactly the command-group byte
    group_byte_or_none // the DC requests: the group byte with protocol version 33, else nothing
};

constexpr std::uint8_t kCommandGroup = 0xFF;

// Which DATAFLAG a first answer of a group carries.
enum class FlagGroup { none, ac, rc, dc };

using InfoFn = Bytes (*)(const Plant&, const BuildOptions&, std::uint8_t dataflag);

struct Command {
    std::uint8_t cid1;
    std::uint8_t cid2;
    const char* name;
    Payload payload;
    FlagGroup flag;  // the DATAFLAG this answer carries in INFO[0] (none: no DATAFLAG)
    InfoFn info;
};

// The entry for (cid1, cid2), or nullptr.
const Command* FindCommand(std::uint8_t cid1, std::uint8_t cid2);
// The entry named "CC_DD" (e.g. "41_43"), or nullptr.
const Command* FindCommand(const std::string& name);
// "CC_DD" of any pair, upper-case hex.
std::string CommandName(std::uint8_t cid1, std::uint8_t cid2);

}  // namespace sim
