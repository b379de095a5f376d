#include "tools/sim/info_builder.h"

#include <algorithm>

namespace sim {
namespace {

// DATAFLAG, with the base model the unit count, then the units' parts.
template <typename Unit, typename PartFn>
Bytes AcAnswer(const std::vector<Unit>& units, const BuildOptions& opt, std::uint8_t dataflag, PartFn part) {
    Bytes info;
    ByteWriter w(info);
    w.Byte(dataflag);
    if (opt.model == Model::qzl4200) w.Count(units.size());
    for (const Unit& u : units) {
        const Bytes p = part(u);
        info.insert(info.end(), p.begin(), p.end());
    }
    return info;
}

// DATAFLAG, unit count, then the units' blocks (both models).
template <typename PartFn>
Bytes DcAnswer(const std::vector<DcUnit>& units, std::uint8_t dataflag, PartFn part) {
    Bytes info;
    ByteWriter w(info);
    w.Byte(dataflag);
    w.Count(units.size());
    for (const DcUnit& u : units) {
        const Bytes p = part(u);
        info.insert(info.end(), p.begin(), p.end());
    }
    return info;
}

}  // namespace

Bytes Info40_51(const Plant& plant) {
    Bytes info(kModelTextSize, plant.pad_with_spaces ? ' ' : '\0');
    std::copy_n(plant.model_text.begin(), std::min(plant.model_text.size(), kModelTextSize), info.begin());
    return info;
}

Bytes AcPart40_41(const AcUnit& unit) {
    Bytes out;
    ByteWriter w(out);
    w.Count(unit.channels.size());
    for (std::size_t k = 0; k < ByteWriter::Clamp(unit.channels.size()); ++k) {
        const AcChannel& ch = unit.channels[k];
        w.Value(ch.a);
        w.Value(ch.b);
        w.Value(ch.c);
        w.Value(ch.f);
        w.CountedValues(ch.user);
    }
    for (const Value4& i : unit.currents) w.Value(i);
    return out;
}

Bytes AcPart40_43(const AcUnit& unit) {
    Bytes out;
    ByteWriter w(out);
    w.CountedBytes(unit.breakers);
    w.CountedBytes(unit.status);
    return out;
}

Bytes AcPart40_44(const AcUnit& unit) {
    Bytes out;
    ByteWriter w(out);
    w.Count(unit.channels.size());
    for (std::size_t k = 0; k < ByteWriter::Clamp(unit.channels.size()); ++k) {
        const AcChannel& ch = unit.channels[k];
        for (std::uint8_t s : ch.alarms) w.Byte(s);
        w.Count(0);  // no extra alarm bytes
        w.CountedBytes(ch.user_alarms);
    }
    for (std::uint8_t s : unit.current_alarms) w.Byte(s);
    return out;
}

Bytes Info40_41(const Plant& plant, const BuildOptions& opt, std::uint8_t dataflag) {
    return AcAnswer(plant.ac, opt, dataflag, AcPart40_41);
}
Bytes Info40_43(const Plant& plant, const BuildOptions& opt, std::uint8_t dataflag) {
    return AcAnswer(plant.ac, opt, dataflag, AcPart40_43);
}
Bytes Info40_44(const Plant& plant, const BuildOptions& opt, std::uint8_t dataflag) {
    return AcAnswer(plant.ac, opt, dataflag, AcPart40_44);
}

Bytes Info41_41(const Plant& plant, std::uint8_t dataflag) {
    Bytes info;
    ByteWriter w(info);
    w.Byte(dataflag);
    w.Value(plant.rc.group_value);
    w.Count(plant.rc.modules.size());
    for (std::size_t k = 0; k < ByteWriter::Clamp(plant.rc.modules.size()); ++k) {
        w.Value(plant.rc.modules[k].value);
        w.CountedValues(plant.rc.modules[k].user);
    }
    return info;
}

Bytes Info41_43(const Plant& plant, std::uint8_t dataflag) {
    Bytes info;
    ByteWriter w(info);
    w.Byte(dataflag);
    w.Count(plant.rc.modules.size());
    for (std::size_t k = 0; k < ByteWriter::Clamp(plant.rc.modules.size()); ++k) {
        for (std::uint8_t s : plant.rc.modules[k].state) w.Byte(s);
        w.CountedBytes(plant.rc.modules[k].user_state);
    }
    return info;
}

Bytes Info41_44(const Plant& plant, std::uint8_t dataflag) {
    Bytes info;
    ByteWriter w(info);
    w.Byte(dataflag);
    w.Count(plant.rc.modules.size());
    for (std::size_t k = 0; k < ByteWriter::Clamp(plant.rc.modules.size()); ++k) {
        w.Byte(plant.rc.modules[k].fault);
        w.CountedBytes(plant.rc.modules[k].user_alarms);
    }
    return info;
}

Bytes DcBlock42_41(const DcUnit& unit) {
    Bytes out;
    ByteWriter w(out);
    w.Value(unit.v);
    w.Value(unit.i);
    w.CountedValues(unit.m_values);
    w.CountedValues(unit.n_values);
    w.CountedValues(unit.user);
    return out;
}

Bytes DcBlock42_44(const DcUnit& unit) {
    Bytes out;
    ByteWriter w(out);
    w.Byte(unit.v_alert);
    w.CountedBytes(unit.alarms);
    w.CountedBytes(unit.user_alarms);
    return out;
}

Bytes Info42_41(const Plant& plant, const BuildOptions& opt, std::uint8_t dataflag) {
    Bytes info = DcAnswer(plant.dc, dataflag, DcBlock42_41);
    if (opt.model == Model::qzl4200 && opt.base_dc_count_overlaps && plant.dc.size() >= 4) {
        // INFO[1] doubles as the first block's first byte: drop the block's
        // own first byte so the count takes its place.
        info.erase(info.begin() + 2);
    }
    return info;
}

Bytes Info42_44(const Plant& plant, const BuildOptions&, std::uint8_t dataflag) {
    return DcAnswer(plant.dc, dataflag, DcBlock42_44);
}

Bytes Info40_46(const Plant& plant) {
    Bytes info;
    ByteWriter w(info);
    for (const Value4& v : plant.params.p40_46) w.Value(v);
    w.CountedValues(plant.params.p40_46_user);
    return info;
}

Bytes Info42_46(const Plant& plant) {
    Bytes info;
    ByteWriter w(info);
    for (const Value4& v : plant.params.p42_46) w.Value(v);
    w.CountedValues(plant.params.p42_46_user);
    return info;
}

}  // namespace sim
