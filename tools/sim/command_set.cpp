#include "tools/sim/command_set.h"

#include <cstdio>
#include <iterator>

namespace sim {
namespace {

Bytes Model40_51(const Plant& p, const BuildOptions&, std::uint8_t) { return Info40_51(p); }
Bytes Rc41_41(const Plant& p, const BuildOptions&, std::uint8_t f) { return Info41_41(p, f); }
Bytes Rc41_43(const Plant& p, const BuildOptions&, std::uint8_t f) { return Info41_43(p, f); }
Bytes Rc41_44(const Plant& p, const BuildOptions&, std::uint8_t f) { return Info41_44(p, f); }
Bytes Par40_46(const Plant& p, const BuildOptions&, std::uint8_t) { return Info40_46(p); }
Bytes Par42_46(const Plant& p, const BuildOptions&, std::uint8_t) { return Info42_46(p); }

// The 0x43 and 0x44 answers repeat the group's DATAFLAG in INFO[0].
const Command kCommands[] = {
    {0x40, 0x51, "40_51", Payload::none, FlagGroup::none, Model40_51},
    {0x40, 0x41, "40_41", Payload::group_byte, FlagGroup::ac, Info40_41},
    {0x40, 0x43, "40_43", Payload::group_byte, FlagGroup::ac, Info40_43},
    {0x40, 0x44, "40_44", Payload::group_byte, FlagGroup::ac, Info40_44},
    {0x41, 0x41, "41_41", Payload::none, FlagGroup::rc, Rc41_41},
    {0x41, 0x43, "41_43", Payload::none, FlagGroup::rc, Rc41_43},
    {0x41, 0x44, "41_44", Payload::none, FlagGroup::rc, Rc41_44},
    {0x42, 0x41, "42_41", Payload::group_byte_or_none, FlagGroup::dc, Info42_41},
    {0x42, 0x44, "42_44", Payload::group_byte_or_none, FlagGroup::dc, Info42_44},
    {0x40, 0x46, "40_46", Payload::none, FlagGroup::none, Par40_46},
    {0x42, 0x46, "42_46", Payload::none, FlagGroup::none, Par42_46},
};

}  // namespace

const Command* FindCommand(std::uint8_t cid1, std::uint8_t cid2) {
    for (const Command& c : kCommands)
        if (c.cid1 == cid1 && c.cid2 == cid2) return &c;
    return nullptr;
}

const Command* FindCommand(const std::string& name) {
    for (const Command& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

std::string CommandName(std::uint8_t cid1, std::uint8_t cid2) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X_%02X", cid1, cid2);
    return buf;
}

}  // namespace sim
