#pragma once
// The power-bus command set of a polling round: for each command step the
// request that is outstanding while the step is held, its payload rule and
// which device parses the answer. RefreshStatus and the answer handlers both
// walk this table; nothing else knows a CID.
#include <cstdint>

namespace bus_cycle {

// Command steps. The numbers are what the command step holds while the
// request is outstanding; 10 to 13 are never used.
enum Step : std::uint32_t {
    kAc40_41 = 0,
    kAc40_43 = 1,
    kAc40_44 = 2,
    kRc40_46 = 3,
    kRc41_41 = 4,
    kRc41_43 = 5,
    kRc41_44 = 6,
    kDc42_41 = 7,
    kDc42_44 = 8,
    kRc42_46 = 9,
    kModel40_51 = 14,
};

// What a request carries besides CID1 and CID2.
enum class Payload : std::uint8_t {
    None,
    GroupByte,           // the command-group byte, always
    GroupByteAtVersion,  // the command-group byte only at protocol version kGroupByteVersion
};

// The protocol version byte at which the DC requests carry the group byte.
constexpr std::uint8_t kGroupByteVersion = 0x21;

// The child parse operation an answer goes to.
enum class Parse : std::uint8_t {
    Model,  // read by the bus device itself
    P40_41,
    P40_43,
    P40_44,
    P41_41,
    P41_43,
    P41_44,
    P42_41,
    P42_44,
    P40_46,
    P42_46,
};

// Who receives an answer's INFO.
enum class Route : std::uint8_t { Bus, AcChildren, Rectifier, DcChildren };

struct Command {
    std::uint32_t step;
    const char* name;
    std::uint8_t cid1;
    std::uint8_t cid2;
    Payload payload;
    Parse parse;
    Route route;
};

inline constexpr Command kCommands[] = {
    {kModel40_51, "model40_51", 0x40, 0x51, Payload::None, Parse::Model, Route::Bus},
    {kAc40_41, "ac40_41", 0x40, 0x41, Payload::GroupByte, Parse::P40_41, Route::AcChildren},
    {kAc40_43, "ac40_43", 0x40, 0x43, Payload::GroupByte, Parse::P40_43, Route::AcChildren},
    {kAc40_44, "ac40_44", 0x40, 0x44, Payload::GroupByte, Parse::P40_44, Route::AcChildren},
    {kRc41_41, "rc41_41", 0x41, 0x41, Payload::None, Parse::P41_41, Route::Rectifier},
    {kRc41_43, "rc41_43", 0x41, 0x43, Payload::None, Parse::P41_43, Route::Rectifier},
    {kRc41_44, "rc41_44", 0x41, 0x44, Payload::None, Parse::P41_44, Route::Rectifier},
    {kDc42_41, "dc42_41", 0x42, 0x41, Payload::GroupByteAtVersion, Parse::P42_41, Route::DcChildren},
    {kDc42_44, "dc42_44", 0x42, 0x44, Payload::GroupByteAtVersion, Parse::P42_44, Route::DcChildren},
    {kRc40_46, "rc40_46", 0x40, 0x46, Payload::None, Parse::P40_46, Route::Rectifier},
    {kRc42_46, "rc42_46", 0x42, 0x46, Payload::None, Parse::P42_46, Route::Rectifier},
};

// The command of a step, or nullptr for a value outside the command set.
constexpr const Command* FindCommand(std::uint32_t step) {
    for (const Command& c : kCommands)
        if (c.step == step) return &c;
    return nullptr;
}

// Whether step is a step of the command set.
constexpr bool InCommandSet(std::uint32_t step) {
    for (const Command& c : kCommands)
        if (c.step == step) return true;
    return false;
}

// Whether the request of c carries the command-group byte at this protocol version.
constexpr bool CarriesGroupByte(const Command& c, std::uint8_t protocolVersion) {
    return c.payload == Payload::GroupByte ||
           (c.payload == Payload::GroupByteAtVersion && protocolVersion == kGroupByteVersion);
}

}  // namespace bus_cycle
