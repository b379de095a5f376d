#pragma once
// The DC distribution record: what the power system reports about one DC
// unit. Its byte image is the DC snapshot, published, saved and restored as
// it stands, so the layout is fixed and carries no padding.
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
template <std::uint8_t M_SIZE_, std::uint8_t N_SIZE_, std::uint8_t P_SIZE_, std::uint8_t ALERT_M_SIZE_,
          std::uint8_t ALERT_P_SIZE_>
struct tele_c_pmbuspower_dc {
    // List capacities; the counts below hold what was received, which may exceed them.
    static constexpr std::uint8_t M_SIZE() { return M_SIZE_; }
    static constexpr std::uint8_t N_SIZE() { return N_SIZE_; }
    static constexpr std::uint8_t P_SIZE() { return P_SIZE_; }
    static constexpr std::uint8_t ALERT_M_SIZE() { return ALERT_M_SIZE_; }
    static constexpr std::uint8_t ALERT_P_SIZE() { return ALERT_P_SIZE_; }

    std::uint32_t data_id;          // the device's data id (InitV)
    float v;                        // output voltage
    float i;                        // the unit's current
    std::uint8_t dc_m;              // first list's count as received
    float m_value[M_SIZE_];
    std::uint8_t dc_n;              // second list's count as received
    float n_value[N_SIZE_];
    std::uint8_t p_count;           // user-defined value count as received
    float user_p[P_SIZE_];          // an invalid-value marker is kept as -0.1
    std::uint8_t v_alert;           // output-voltage state: 1 too low, 2 too high
    std::uint8_t alert_m_num;       // alarm-byte count as received
    std::uint8_t alert_m[ALERT_M_SIZE_];  // 3: battery-fuse fault
    std::uint8_t alert_p_num;       // user-defined alarm count as received
    std::uint8_t alert_p[ALERT_P_SIZE_];
    std::uint8_t ttime[7];          // host time record of the last round end
};
#pragma pack(pop)

using tele_c_qzl4200_dc = tele_c_pmbuspower_dc<4, 9, 3, 64, 13>;

static_assert(sizeof(tele_c_qzl4200_dc) == 166, "DC snapshot is 166 bytes");
static_assert(alignof(tele_c_qzl4200_dc) == 1, "DC record is byte-packed");
static_assert(offsetof(tele_c_qzl4200_dc, data_id) == 0, "data_id");
static_assert(offsetof(tele_c_qzl4200_dc, v) == 4, "v");
static_assert(offsetof(tele_c_qzl4200_dc, i) == 8, "i");
static_assert(offsetof(tele_c_qzl4200_dc, dc_m) == 12, "dc_m");
static_assert(offsetof(tele_c_qzl4200_dc, m_value) == 13, "m_value");
static_assert(offsetof(tele_c_qzl4200_dc, dc_n) == 29, "dc_n");
static_assert(offsetof(tele_c_qzl4200_dc, n_value) == 30, "n_value");
static_assert(offsetof(tele_c_qzl4200_dc, p_count) == 66, "p_count");
static_assert(offsetof(tele_c_qzl4200_dc, user_p) == 67, "user_p");
static_assert(offsetof(tele_c_qzl4200_dc, v_alert) == 79, "v_alert");
static_assert(offsetof(tele_c_qzl4200_dc, alert_m_num) == 80, "alert_m_num");
static_assert(offsetof(tele_c_qzl4200_dc, alert_m) == 81, "alert_m");
static_assert(offsetof(tele_c_qzl4200_dc, alert_p_num) == 145, "alert_p_num");
static_assert(offsetof(tele_c_qzl4200_dc, alert_p) == 146, "alert_p");
static_assert(offsetof(tele_c_qzl4200_dc, ttime) == 159, "ttime");
static_assert(tele_c_qzl4200_dc::M_SIZE() == 4 && tele_c_qzl4200_dc::N_SIZE() == 9 &&
                  tele_c_qzl4200_dc::P_SIZE() == 3 && tele_c_qzl4200_dc::ALERT_M_SIZE() == 64 &&
                  tele_c_qzl4200_dc::ALERT_P_SIZE() == 13,
              "model list capacities");
