#include "tools/monitor/snapshot_fields.h"

#include "ac/ac_records.h"
#include "dc/dc_record.h"
#include "rc/rc_records.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace monitor {
namespace {

enum class Kind { kU8, kU32, kF32, kF32s, kU8s, kTime };

struct Field {
    const char* name;
    std::size_t offset;
    Kind kind;
    std::size_t count;  // elements of kF32s / kU8s
};

#define FIELD(T, m, kind) Field{#m, offsetof(T, m), kind, 1}
#define FLOATS(T, m) Field{#m, offsetof(T, m), Kind::kF32s, sizeof(T::m) / 4}
#define BYTES(T, m) Field{#m, offsetof(T, m), Kind::kU8s, sizeof(T::m)}

using AcPanel = tele_c_qzl4200_ac;
using AcChannel = tele_c_qzl4200_ac_channel;
using Dc = tele_c_qzl4200_dc;
using RcGroup = tele_c_qzl4200_rc;
using RcModule = tele_c_qzl4200_rc_channel;

// Zero-length arrays of a model have no field entry.
const std::vector<Field> kAcPanel = {
    FIELD(AcPanel, data_id, Kind::kU32), FIELD(AcPanel, ia, Kind::kF32), FIELD(AcPanel, ib, Kind::kF32),
    FIELD(AcPanel, ic, Kind::kF32), FIELD(AcPanel, channel_num, Kind::kU8), FIELD(AcPanel, airlock_num, Kind::kU8),
    FIELD(AcPanel, p40_43_num, Kind::kU8), BYTES(AcPanel, p40_43), FIELD(AcPanel, ia_alert, Kind::kU8),
    FIELD(AcPanel, ib_alert, Kind::kU8), FIELD(AcPanel, ic_alert, Kind::kU8), FIELD(AcPanel, ttime, Kind::kTime),
};
const std::vector<Field> kAcChannel = {
    FIELD(AcChannel, a, Kind::kF32), FIELD(AcChannel, b, Kind::kF32), FIELD(AcChannel, c, Kind::kF32),
    FIELD(AcChannel, f, Kind::kF32), FIELD(AcChannel, p40_41_num, Kind::kU8), FIELD(AcChannel, a_alert, Kind::kU8),
    FIELD(AcChannel, b_alert, Kind::kU8), FIELD(AcChannel, c_alert, Kind::kU8), FIELD(AcChannel, f_alert, Kind::kU8),
    FIELD(AcChannel, p40_44_num, Kind::kU8), BYTES(AcChannel, p40_44),
};
const std::vector<Field> kDc = {
    FIELD(Dc, data_id, Kind::kU32), FIELD(Dc, v, Kind::kF32), FIELD(Dc, i, Kind::kF32),
    FIELD(Dc, dc_m, Kind::kU8), FLOATS(Dc, m_value), FIELD(Dc, dc_n, Kind::kU8), FLOATS(Dc, n_value),
    FIELD(Dc, p_count, Kind::kU8), FLOATS(Dc, user_p), FIELD(Dc, v_alert, Kind::kU8),
    FIELD(Dc, alert_m_num, Kind::kU8), BYTES(Dc, alert_m), FIELD(Dc, alert_p_num, Kind::kU8),
    BYTES(Dc, alert_p), FIELD(Dc, ttime, Kind::kTime),
};
const std::vector<Field> kRcGroup = {
    FIELD(RcGroup, data_id, Kind::kU32), FLOATS(RcGroup, p40_46), FLOATS(RcGroup, p42_46_fixed),
    FIELD(RcGroup, p42_46_num, Kind::kU8), BYTES(RcGroup, p42_46), FLOATS(RcGroup, group_value),
    FIELD(RcGroup, channel_num, Kind::kU8), FIELD(RcGroup, ttime, Kind::kTime),
};
const std::vector<Field> kRcModule = {
    FLOATS(RcModule, value), FIELD(RcModule, p41_41_num, Kind::kU8), FLOATS(RcModule, p41_41),
    BYTES(RcModule, state), FIELD(RcModule, p41_43_num, Kind::kU8), BYTES(RcModule, p41_43),
    FIELD(RcModule, fault, Kind::kU8), FIELD(RcModule, p41_44_num, Kind::kU8), BYTES(RcModule, p41_44),
};

#undef FIELD
#undef FLOATS
#undef BYTES

float F32(const std::uint8_t* p) {
    float f;
    std::memcpy(&f, p, 4);
    return f;
}

Json::Value Decode(const std::vector<Field>& fields, const std::uint8_t* p) {
    Json::Value out(Json::objectValue);
    for (const Field& f : fields) {
        const std::uint8_t* q = p + f.offset;
        switch (f.kind) {
            case Kind::kU8: out[f.name] = q[0]; break;
            case Kind::kU32: {
                std::uint32_t v;
                std::memcpy(&v, q, 4);
                out[f.name] = v;
                break;
            }
            case Kind::kF32: out[f.name] = F32(q); break;
            case Kind::kF32s: {
                Json::Value a(Json::arrayValue);
                for (std::size_t i = 0; i < f.count; ++i) a.append(F32(q + 4 * i));
                out[f.name] = f.count == 1 ? a[0] : a;
                break;
            }
            case Kind::kU8s: {
                Json::Value a(Json::arrayValue);
                for (std::size_t i = 0; i < f.count; ++i) a.append(q[i]);
                out[f.name] = a;
                break;
            }
            case Kind::kTime: {
                char buf[32];
                std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", q[0] | q[1] << 8, q[2], q[3], q[4],
                              q[5], q[6]);
                out[f.name] = buf;
                break;
            }
        }
    }
    return out;
}

// A head record followed by count records of one size; count is a byte of the head.
Json::Value HeadAndList(const std::vector<Field>& head, std::size_t headSize, std::size_t countOffset,
                        const char* listName, const std::vector<Field>& item, std::size_t itemSize,
                        const std::uint8_t* data, std::size_t length) {
    Json::Value out(Json::objectValue);
    if (length < headSize) {
        out["error"] = "snapshot of " + std::to_string(length) + " bytes, shorter than its " +
                       std::to_string(headSize) + "-byte record";
        return out;
    }
    out = Decode(head, data);
    const std::size_t count = data[countOffset];
    Json::Value list(Json::arrayValue);
    std::size_t i = 0;
    for (; i < count && headSize + (i + 1) * itemSize <= length; ++i)
        list.append(Decode(item, data + headSize + i * itemSize));
    out[listName] = list;
    const std::size_t want = headSize + count * itemSize;
    if (length != want)
        out["error"] = "snapshot of " + std::to_string(length) + " bytes, " + std::to_string(want) + " expected";
    return out;
}

}  // namespace

Json::Value DecodeSnapshot(int typeNumber, const std::uint8_t* data, std::size_t length) {
    if (!data) length = 0;
    switch (typeNumber) {
        case 5106:
            return HeadAndList(kAcPanel, sizeof(AcPanel), offsetof(AcPanel, channel_num), "channels", kAcChannel,
                               sizeof(AcChannel), data, length);
        case 5107:
            return HeadAndList(kRcGroup, sizeof(RcGroup), offsetof(RcGroup, channel_num), "modules", kRcModule,
                               sizeof(RcModule), data, length);
        case 5108: {
            if (length < sizeof(Dc)) {
                Json::Value out(Json::objectValue);
                out["error"] = "snapshot of " + std::to_string(length) + " bytes, shorter than its " +
                               std::to_string(sizeof(Dc)) + "-byte record";
                return out;
            }
            Json::Value out = Decode(kDc, data);
            if (length != sizeof(Dc))
                out["error"] = "snapshot of " + std::to_string(length) + " bytes, " + std::to_string(sizeof(Dc)) +
                               " expected";
            return out;
        }
        default: {
            Json::Value out(Json::objectValue);
            out["error"] = "unknown type number " + std::to_string(typeNumber);
            return out;
        }
    }
}

}  // namespace monitor
