#pragma once
// Builds the INFO of every answer of the command set from the plant, in the
// layouts the plug-in's devices decode. Pure functions: no I/O, no state.
#include "tools/sim/byte_writer.h"
#include "tools/sim/plant.h"

#include <cstdint>

namespace sim {

// Length of the model field of a 40_51 answer.
constexpr std::size_t kModelTextSize = 20;

struct BuildOptions {
    Model model = Model::tvr27pk;
    // The base model's poller hands the first DC unit its block from INFO[1]
    // when the answer covers four or more units, so INFO[1] is both the unit
    // count and the first byte of the first block. With this set (and the
    // base model) such answers are built that way: the first block's first
    // byte (the lowest byte of its voltage) is replaced by the count.
    bool base_dc_count_overlaps = true;
};

Bytes Info40_51(const Plant& plant);
Bytes Info40_41(const Plant& plant, const BuildOptions& opt, std::uint8_t dataflag);
Bytes Info40_43(const Plant& plant, const BuildOptions& opt, std::uint8_t dataflag);
Bytes Info40_44(const Plant& plant, const BuildOptions& opt, std::uint8_t dataflag);
Bytes Info41_41(const Plant& plant, std::uint8_t dataflag);
Bytes Info41_43(const Plant& plant, std::uint8_t dataflag);
Bytes Info41_44(const Plant& plant, std::uint8_t dataflag);
Bytes Info42_41(const Plant& plant, const BuildOptions& opt, std::uint8_t dataflag);
Bytes Info42_44(const Plant& plant, const BuildOptions& opt, std::uint8_t dataflag);
Bytes Info40_46(const Plant& plant);
Bytes Info42_46(const Plant& plant);

// One unit's part, as each device's parse operation receives it.
Bytes AcPart40_41(const AcUnit& unit);
Bytes AcPart40_43(const AcUnit& unit);
Bytes AcPart40_44(const AcUnit& unit);
Bytes DcBlock42_41(const DcUnit& unit);
Bytes DcBlock42_44(const DcUnit& unit);

}  // namespace sim
