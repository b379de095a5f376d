#pragma once
// The rectifier records: the group record (parameters of the AC and DC
// groups, the group value and the module count) and one record per module.
// Their byte images, the group record followed by the module records, are the
// rectifier snapshot, published, saved and restored as they stand, so the
// layouts are fixed and carry no padding. Every multi-byte field holds the
// answer's bytes in the order received; the device does not interpret them.
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
template <std::uint8_t P42_46_NUMBER_, std::uint8_t P42_46_SIZE_>
struct tele_c_pmbuspower_rc {
    // Expected user-defined parameter count of 42_46 and the bytes kept of them.
    static constexpr std::uint8_t P42_46_NUMBER() { return P42_46_NUMBER_; }
    static constexpr std::uint8_t P42_46_SIZE() { return P42_46_SIZE_; }

    std::uint32_t data_id;                  // the device's data id (InitV)
    std::uint8_t p40_46[20];                // 40_46: five 4-byte parameter values
    std::uint8_t p42_46_fixed[8];           // 42_46: two 4-byte parameter values
    std::uint8_t p42_46_num;                // 42_46: user-defined count as received
    std::uint8_t p42_46[P42_46_SIZE_];      // 42_46: user-defined parameter bytes
    std::uint8_t group_value[4];            // 41_41: the value before the module count
    std::uint8_t channel_num;               // number of modules, adopted once
    std::uint8_t ttime[7];                  // host time record of the last round end
};

template <std::uint8_t P41_41_SIZE_, std::uint8_t P41_43_SIZE_, std::uint8_t P41_44_SIZE_>
struct tele_c_pmbuspower_rc_channel {
    // Item counts of the user-defined lists the record keeps.
    static constexpr std::uint8_t P41_41_SIZE() { return P41_41_SIZE_; }  // 4-byte values
    static constexpr std::uint8_t P41_43_SIZE() { return P41_43_SIZE_; }  // state bytes
    static constexpr std::uint8_t P41_44_SIZE() { return P41_44_SIZE_; }  // alarm bytes

    std::uint8_t value[4];                  // 41_41: the module's first value
    std::uint8_t p41_41_num;                // 41_41: user-defined count as received
    std::uint8_t p41_41[4 * P41_41_SIZE_];  // 41_41: user values, a marker kept as zeros
    std::uint8_t state[3];                  // 41_43: state bytes
    std::uint8_t p41_43_num;                // 41_43: user-defined count as received
    std::uint8_t p41_43[P41_43_SIZE_];      // 41_43: user-defined state bytes
    std::uint8_t fault;                     // 41_44: 1 while the module fault is active
    std::uint8_t p41_44_num;                // 41_44: user-defined count as received
    std::uint8_t p41_44[P41_44_SIZE_];      // 41_44: user-defined alarm bytes
};
#pragma pack(pop)

using tele_c_qzl4200_rc = tele_c_pmbuspower_rc<5, 20>;
using tele_c_qzl4200_rc_channel = tele_c_pmbuspower_rc_channel<4, 1, 4>;

static_assert(sizeof(tele_c_qzl4200_rc) == 65, "rectifier group record is 65 bytes");
static_assert(alignof(tele_c_qzl4200_rc) == 1, "rectifier group record is byte-packed");
static_assert(offsetof(tele_c_qzl4200_rc, data_id) == 0, "data_id");
static_assert(offsetof(tele_c_qzl4200_rc, p40_46) == 4, "p40_46");
static_assert(offsetof(tele_c_qzl4200_rc, p42_46_fixed) == 24, "p42_46_fixed");
static_assert(offsetof(tele_c_qzl4200_rc, p42_46_num) == 32, "p42_46_num");
static_assert(offsetof(tele_c_qzl4200_rc, p42_46) == 33, "p42_46");
static_assert(offsetof(tele_c_qzl4200_rc, group_value) == 53, "group_value");
static_assert(offsetof(tele_c_qzl4200_rc, channel_num) == 57, "channel_num");
static_assert(offsetof(tele_c_qzl4200_rc, ttime) == 58, "ttime");
static_assert(tele_c_qzl4200_rc::P42_46_NUMBER() == 5 && tele_c_qzl4200_rc::P42_46_SIZE() == 20,
              "model 42_46 parameter sizes");

static_assert(sizeof(tele_c_qzl4200_rc_channel) == 32, "rectifier module record is 32 bytes");
static_assert(alignof(tele_c_qzl4200_rc_channel) == 1, "rectifier module record is byte-packed");
static_assert(offsetof(tele_c_qzl4200_rc_channel, value) == 0, "value");
static_assert(offsetof(tele_c_qzl4200_rc_channel, p41_41_num) == 4, "p41_41_num");
static_assert(offsetof(tele_c_qzl4200_rc_channel, p41_41) == 5, "p41_41");
static_assert(offsetof(tele_c_qzl4200_rc_channel, state) == 21, "state");
static_assert(offsetof(tele_c_qzl4200_rc_channel, p41_43_num) == 24, "p41_43_num");
static_assert(offsetof(tele_c_qzl4200_rc_channel, p41_43) == 25, "p41_43");
static_assert(offsetof(tele_c_qzl4200_rc_channel, fault) == 26, "fault");
static_assert(offsetof(tele_c_qzl4200_rc_channel, p41_44_num) == 27, "p41_44_num");
static_assert(offsetof(tele_c_qzl4200_rc_channel, p41_44) == 28, "p41_44");
static_assert(tele_c_qzl4200_rc_channel::P41_41_SIZE() == 4 && tele_c_qzl4200_rc_channel::P41_43_SIZE() == 1 &&
                  tele_c_qzl4200_rc_channel::P41_44_SIZE() == 4,
              "model module list sizes");
