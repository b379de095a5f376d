#pragma once
// The simulated power system: everything its answers report, as plain
// values. The INFO builders turn it into answer bytes; the scenario loader
// and the timeline fill and change it.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Which bus-device dialect the answers follow. tvr27pk sends the AC units'
// parts right after the DATAFLAG; qzl4200 puts the unit count in between.
enum class Model { tvr27pk, qzl4200 };

// A 4-byte value of an answer: a float, or the invalid-value marker
// (four equal non-zero bytes) in its place.
struct Value4 {
    float value = 0.0f;
    bool invalid = false;
};

struct AcChannel {
    Value4 a, b, c, f;                     // voltages AB/A, BC/B, CA/C and the frequency
    std::vector<Value4> user;              // user-defined values (40_41)
    std::array<std::uint8_t, 4> alarms{};  // states of a, b, c, f (40_44): 1 low, 2 high, 3 phase loss
    std::vector<std::uint8_t> user_alarms; // user-defined alarm bytes (40_44)
};

struct AcUnit {
    std::vector<AcChannel> channels;
    std::array<Value4, 3> currents;                // ia, ib, ic (40_41)
    std::array<std::uint8_t, 3> current_alarms{};  // (40_44)
    std::vector<std::uint8_t> breakers;            // breaker status bytes (40_43)
    std::vector<std::uint8_t> status;              // user-defined status bytes (40_43)
};

struct DcUnit {
    Value4 v, i;
    std::vector<Value4> m_values, n_values, user;  // the three lists of 42_41
    std::uint8_t v_alert = 0;                      // 1 too low, 2 too high (42_44)
    std::vector<std::uint8_t> alarms;              // alarm bytes, the fuses (42_44); 3 = fuse fault
    std::vector<std::uint8_t> user_alarms;         // user-defined alarm bytes (42_44)
};

struct RcModule {
    Value4 value;                              // 41_41
    std::vector<Value4> user;                  // 41_41
    std::array<std::uint8_t, 3> state{};       // 41_43
    std::vector<std::uint8_t> user_state;      // 41_43
    std::uint8_t fault = 0;                    // 41_44: 1 = module fault
    std::vector<std::uint8_t> user_alarms;     // 41_44
};

struct Rectifiers {
    Value4 group_value;
    std::vector<RcModule> modules;
};

struct Parameters {
    std::array<Value4, 5> p40_46;
    std::vector<Value4> p40_46_user;
    std::array<Value4, 2> p42_46;
    std::vector<Value4> p42_46_user;
};

// DATAFLAG bits: 0x01 new data for the group's 0x44 answer, 0x10 for its
// 0x43 answer. These are the bits the scenario forces; the simulator adds
// the bits of what actually changed (see Responder).
struct DataFlags {
    std::uint8_t ac = 0;
    std::uint8_t rc = 0;
    std::uint8_t dc = 0;
};

struct Plant {
    std::string model_text;      // the text of the 40_51 answer
    bool pad_with_spaces = false; // fill of the 20-byte model field: NUL or blanks
    std::vector<AcUnit> ac;
    std::vector<DcUnit> dc;
    Rectifiers rc;
    Parameters params;
    DataFlags flags;
};

}  // namespace sim
