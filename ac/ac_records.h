#pragma once
// The AC distribution records: the panel record and one record per AC input
// channel. Their byte images form the AC snapshot (panel record, then the
// channel records in channel order), which is published, saved and restored
// as it stands, so the layout is fixed and carries no padding.
//
// The count parameters are list capacities; the *_num fields hold the counts
// as the power system sent them. A capacity of 0 gives a zero-length array
// that occupies no bytes.
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
template <std::uint8_t AIRLOCK_MAX_, std::uint8_t P40_43_SIZE_>
struct tele_c_pmbuspower_ac {
    // Most breaker status bytes a 40_43 answer may carry.
    static constexpr std::uint8_t AIRLOCK_MAX() { return AIRLOCK_MAX_; }
    // User-defined status bytes expected in a 40_43 answer.
    static constexpr std::uint8_t P40_43_SIZE() { return P40_43_SIZE_; }

    std::uint32_t data_id;      // the device's data id (InitV)
    float ia;                   // phase currents (40_41); a marker is kept as -0.1
    float ib;
    float ic;
    std::uint8_t channel_num;   // number of input channels, fixed by the first accepted 40_41
    std::uint8_t airlock_num;   // breaker count as received (40_43)
    std::uint8_t airlock[AIRLOCK_MAX_];
    std::uint8_t p40_43_num;    // user-defined status count as received (40_43)
    std::uint8_t p40_43[P40_43_SIZE_];
    std::uint8_t ia_alert;      // phase-current states (40_44): 1 low, 2 high, 3 missing
    std::uint8_t ib_alert;
    std::uint8_t ic_alert;
    std::uint8_t ttime[7];      // host time record of the last round end
};

template <std::uint8_t P40_41_SIZE_, std::uint8_t p40_44_SIZE_>
struct tele_c_pmbuspower_ac_channel {
    // User-defined floats expected per channel in a 40_41 answer.
    static constexpr std::uint8_t P40_41_SIZE() { return P40_41_SIZE_; }
    // User-defined alarm bytes expected per channel in a 40_44 answer.
    static constexpr std::uint8_t p40_44_SIZE() { return p40_44_SIZE_; }

    float a;                    // line/phase voltage AB/A (40_41); a marker is kept as 0.0
    float b;                    // line/phase voltage BC/B
    float c;                    // line/phase voltage CA/C
    float f;                    // input frequency
    std::uint8_t p40_41_num;    // user-defined value count as received (40_41)
    float p40_41[P40_41_SIZE_]; // a marker is kept as -0.1
    std::uint8_t a_alert;       // voltage and frequency states (40_44): 1 low, 2 high, 3 phase loss
    std::uint8_t b_alert;
    std::uint8_t c_alert;
    std::uint8_t f_alert;
    std::uint8_t p40_44_num;    // user-defined alarm count as received (40_44)
    std::uint8_t p40_44[p40_44_SIZE_];
};
#pragma pack(pop)

using tele_c_qzl4200_ac = tele_c_pmbuspower_ac<0, 3>;
using tele_c_qzl4200_ac_channel = tele_c_pmbuspower_ac_channel<0, 8>;

static_assert(sizeof(tele_c_qzl4200_ac) == 32, "AC panel record is 32 bytes");
static_assert(alignof(tele_c_qzl4200_ac) == 1, "AC panel record is byte-packed");
static_assert(offsetof(tele_c_qzl4200_ac, data_id) == 0, "data_id");
static_assert(offsetof(tele_c_qzl4200_ac, ia) == 4, "ia");
static_assert(offsetof(tele_c_qzl4200_ac, ib) == 8, "ib");
static_assert(offsetof(tele_c_qzl4200_ac, ic) == 12, "ic");
static_assert(offsetof(tele_c_qzl4200_ac, channel_num) == 16, "channel_num");
static_assert(offsetof(tele_c_qzl4200_ac, airlock_num) == 17, "airlock_num");
static_assert(offsetof(tele_c_qzl4200_ac, airlock) == 18, "airlock");
static_assert(offsetof(tele_c_qzl4200_ac, p40_43_num) == 18, "p40_43_num");
static_assert(offsetof(tele_c_qzl4200_ac, p40_43) == 19, "p40_43");
static_assert(offsetof(tele_c_qzl4200_ac, ia_alert) == 22, "ia_alert");
static_assert(offsetof(tele_c_qzl4200_ac, ib_alert) == 23, "ib_alert");
static_assert(offsetof(tele_c_qzl4200_ac, ic_alert) == 24, "ic_alert");
static_assert(offsetof(tele_c_qzl4200_ac, ttime) == 25, "ttime");
static_assert(tele_c_qzl4200_ac::AIRLOCK_MAX() == 0 && tele_c_qzl4200_ac::P40_43_SIZE() == 3,
              "model panel capacities");

static_assert(sizeof(tele_c_qzl4200_ac_channel) == 30, "AC channel record is 30 bytes");
static_assert(alignof(tele_c_qzl4200_ac_channel) == 1, "AC channel record is byte-packed");
static_assert(offsetof(tele_c_qzl4200_ac_channel, a) == 0, "a");
static_assert(offsetof(tele_c_qzl4200_ac_channel, b) == 4, "b");
static_assert(offsetof(tele_c_qzl4200_ac_channel, c) == 8, "c");
static_assert(offsetof(tele_c_qzl4200_ac_channel, f) == 12, "f");
static_assert(offsetof(tele_c_qzl4200_ac_channel, p40_41_num) == 16, "p40_41_num");
static_assert(offsetof(tele_c_qzl4200_ac_channel, p40_41) == 17, "p40_41");
static_assert(offsetof(tele_c_qzl4200_ac_channel, a_alert) == 17, "a_alert");
static_assert(offsetof(tele_c_qzl4200_ac_channel, b_alert) == 18, "b_alert");
static_assert(offsetof(tele_c_qzl4200_ac_channel, c_alert) == 19, "c_alert");
static_assert(offsetof(tele_c_qzl4200_ac_channel, f_alert) == 20, "f_alert");
static_assert(offsetof(tele_c_qzl4200_ac_channel, p40_44_num) == 21, "p40_44_num");
static_assert(offsetof(tele_c_qzl4200_ac_channel, p40_44) == 22, "p40_44");
static_assert(tele_c_qzl4200_ac_channel::P40_41_SIZE() == 0 &&
                  tele_c_qzl4200_ac_channel::p40_44_SIZE() == 8,
              "model channel capacities");
