#pragma once
// The transition tables of the polling cycle, one per bus-device model. A row
// says how the answer of its command step is checked and walked and which
// request follows; the engine in PMBusPower walks the rows and knows no step.
// The two models share the command set, the engine and most rows; their
// tables differ exactly where the tvr27pk model differs.
#include "bus/command_set.h"

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace bus_cycle {

// Next "step" meaning: RoundDone on every child, step 0, Reset(), result 0.
constexpr std::uint32_t kRoundEnd = 0xFFFFFFFFu;

// Which DATAFLAG a branch tests, or which one INFO[0] is kept as.
enum class Flag : std::uint8_t {
    None,
    Ac,  // acDataFlag_ (kept across the AC group)
    Rc,  // rcDataFlag_ (kept across the rectifier group)
    Dc,  // the DATAFLAG of the 42_41 answer being handled
};

// What a branch needs of the configuration.
enum class Guard : std::uint8_t { Always, HasAc, HasDc };

// One alternative of a row's next step; the first branch taken wins. A branch
// with neither whenInvalid nor a flag is taken whenever its guard holds.
struct Branch {
    bool whenInvalid;  // taken while the bus device's data-valid byte is not 1
    Flag flag;         // taken when this DATAFLAG has a bit of mask
    std::uint8_t mask;
    Guard guard;
    std::uint32_t next;  // a command step or kRoundEnd
};

// Unit-count check on INFO[1]; a difference refuses the answer as the row
// refuses a wrong one.
enum class UnitCount : std::uint8_t {
    None,
    AcChildren,  // compared with the number of AC children
    DcChildren,  // compared with the number of DC children
};

// Where the INFO walk starts.
enum class Skip : std::uint8_t {
    None,            // the rectifier child gets the whole INFO
    One,
    Two,
    TwoBelowFour,    // 2 while INFO[1] is below 4, else 1
};

// How the consumed count (skipped bytes included) is judged against the INFO length.
enum class Consumed : std::uint8_t {
    MustEqual,     // a difference refuses the answer (result 1, step unchanged)
    LogAbove,      // more than the INFO length is logged; the round goes on
    LogDiffering,  // any difference is logged; the round goes on
};

struct StepRow {
    std::uint32_t step;
    bool wrongAnswerResets;  // a refused answer resets the exchange (result 0)
    Flag keepsFlag;          // INFO[0] kept as this DATAFLAG (Flag::None: INFO[0] not read)
    UnitCount count;
    Skip skip;
    bool noWalkWhenEmpty;  // no child call and no comparison while INFO length - skip <= 0
    Consumed consumed;
    const char* overflowLog;  // nullptr: a refusal is not logged
    const char* countLog;     // the unit-count difference
    const char* shortLog;     // an answer too short for the INFO bytes read here
    Branch next[4];
    std::size_t branches;
};

struct CycleTable {
    bool waitBeforeAnswer;  // 20 ms before each answer is handled
    const StepRow* rows;
    std::size_t size;

    constexpr const StepRow* Find(std::uint32_t step) const {
        for (std::size_t i = 0; i < size; ++i)
            if (rows[i].step == step) return &rows[i];
        return nullptr;
    }
};

// The INFO bytes a row reads itself before the walk.
constexpr int InfoBytesRead(const StepRow& row) {
    if (row.count != UnitCount::None || row.skip == Skip::TwoBelowFour) return 2;
    return row.keepsFlag != Flag::None ? 1 : 0;
}

namespace log_text {
inline constexpr const char kAcNumber[] =
    "PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}";
inline constexpr const char kDcNumber[] =
    "PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}";
inline constexpr const char kOverflow40_41[] = "PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary";
inline constexpr const char kOverflow40_43[] = "PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary";
inline constexpr const char kOverflow41_41[] = "PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary";
inline constexpr const char kOverflow41_43[] = "PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary";
inline constexpr const char kOverflow41_44[] = "PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary";
inline constexpr const char kOverflow42_41[] = "PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary";
inline constexpr const char kOverflow42_44[] = "PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary";
inline constexpr const char kOverflow40_46[] = "PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary";
inline constexpr const char kOverflow42_46[] = "PMBusPower:ProcotolError {} parse 42_46 overflow memory boundary";
// Arguments: data id, INFO length, INFO bytes needed.
inline constexpr const char kShort40_41[] =
    "PMBusPower:ProcotolError {} read 40_41 info length is {}, needs at least {}";
inline constexpr const char kShort41_41[] =
    "PMBusPower:ProcotolError {} read 41_41 info length is {}, needs at least {}";
inline constexpr const char kShort42_41[] =
    "PMBusPower:ProcotolError {} read 42_41 info length is {}, needs at least {}";
inline constexpr const char kShort42_44[] =
    "PMBusPower:ProcotolError {} read 42_44 info length is {}, needs at least {}";
}  // namespace log_text

namespace detail {
using namespace log_text;
constexpr Branch Go(std::uint32_t next) { return {false, Flag::None, 0, Guard::Always, next}; }
constexpr Branch GoIf(Guard g, std::uint32_t next) { return {false, Flag::None, 0, g, next}; }
constexpr Branch OnFlag(Flag f, std::uint8_t mask, std::uint32_t next) {
    return {false, f, mask, Guard::Always, next};
}
// Taken while the data is not valid, or when the flag has a bit of mask.
constexpr Branch AllOrFlag(Flag f, std::uint8_t mask, std::uint32_t next) {
    return {true, f, mask, Guard::Always, next};
}

// Rows both models share.
constexpr StepRow kModelRow{kModel40_51, false, Flag::None, UnitCount::None, Skip::None, false,
                            Consumed::MustEqual, nullptr, nullptr, nullptr,
                            {GoIf(Guard::HasAc, kAc40_41), Go(kRc41_41)}, 2};
constexpr StepRow kDc44Row{kDc42_44, false, Flag::None, UnitCount::DcChildren, Skip::Two, false,
                           Consumed::LogAbove, kOverflow42_44, kDcNumber, kShort42_44,
                           {GoIf(Guard::HasAc, kRc40_46), Go(kRc42_46)}, 2};
constexpr StepRow kRc40_46Row{kRc40_46, false, Flag::None, UnitCount::None, Skip::None, false,
                              Consumed::LogAbove, kOverflow40_46, nullptr, nullptr,
                              {Go(kRc42_46)}, 1};
constexpr StepRow kRc42_46Row{kRc42_46, false, Flag::None, UnitCount::None, Skip::None, false,
                              Consumed::LogAbove, kOverflow42_46, nullptr, nullptr,
                              {Go(kRoundEnd)}, 1};

// The differences of the tvr27pk rows: walks compared both ways.
constexpr StepRow LogBothWays(StepRow row) {
    row.consumed = Consumed::LogDiffering;
    return row;
}
}  // namespace detail

// The class template's cycle (the QZL4200 model).
inline constexpr StepRow kBaseRows[] = {
    detail::kModelRow,
    {kAc40_41, true, Flag::Ac, UnitCount::AcChildren, Skip::Two, false, Consumed::MustEqual,
     log_text::kOverflow40_41, log_text::kAcNumber, log_text::kShort40_41,
     {detail::AllOrFlag(Flag::Ac, 0x10, kAc40_43), detail::OnFlag(Flag::Ac, 0x01, kAc40_44),
      detail::Go(kRc41_41)},
     3},
    {kAc40_43, false, Flag::None, UnitCount::None, Skip::Two, true, Consumed::MustEqual,
     log_text::kOverflow40_43, nullptr, nullptr,
     {detail::AllOrFlag(Flag::Ac, 0x01, kAc40_44), detail::Go(kRc41_41)}, 2},
    {kAc40_44, false, Flag::None, UnitCount::None, Skip::Two, false, Consumed::MustEqual, nullptr,
     nullptr, nullptr, {detail::Go(kRc41_41)}, 1},
    {kRc41_41, false, Flag::Rc, UnitCount::None, Skip::None, false, Consumed::MustEqual,
     log_text::kOverflow41_41, nullptr, log_text::kShort41_41,
     {detail::AllOrFlag(Flag::Rc, 0x10, kRc41_43), detail::OnFlag(Flag::Rc, 0x01, kRc41_44),
      detail::GoIf(Guard::HasDc, kDc42_41), detail::Go(kRoundEnd)},
     4},
    {kRc41_43, false, Flag::None, UnitCount::None, Skip::None, false, Consumed::MustEqual,
     log_text::kOverflow41_43, nullptr, nullptr,
     {detail::AllOrFlag(Flag::Rc, 0x01, kRc41_44), detail::GoIf(Guard::HasDc, kDc42_41),
      detail::Go(kRoundEnd)},
     3},
    {kRc41_44, false, Flag::None, UnitCount::None, Skip::None, false, Consumed::MustEqual,
     log_text::kOverflow41_44, nullptr, nullptr,
     {detail::GoIf(Guard::HasDc, kDc42_41), detail::Go(kRoundEnd)}, 2},
    {kDc42_41, false, Flag::Dc, UnitCount::DcChildren, Skip::TwoBelowFour, false, Consumed::LogAbove,
     log_text::kOverflow42_41, log_text::kDcNumber, log_text::kShort42_41,
     {detail::AllOrFlag(Flag::Dc, 0x11, kDc42_44), detail::GoIf(Guard::HasAc, kRc40_46),
      detail::Go(kRc42_46)},
     3},
    detail::kDc44Row,
    detail::kRc40_46Row,
    detail::kRc42_46Row,
};

// The tvr27pk model: two AC requests with skip 1 and no unit count, the DC
// group always polled with skip 2, and the DC and parameter counts logged
// whenever they differ from the INFO length.
inline constexpr StepRow kTvr27pkRows[] = {
    detail::kModelRow,
    {kAc40_41, true, Flag::Ac, UnitCount::None, Skip::One, false, Consumed::MustEqual,
     log_text::kOverflow40_41, nullptr, log_text::kShort40_41,
     {detail::AllOrFlag(Flag::Ac, 0x01, kAc40_44), detail::Go(kRc41_41)}, 2},
    {kAc40_44, false, Flag::None, UnitCount::None, Skip::One, false, Consumed::MustEqual, nullptr,
     nullptr, nullptr, {detail::Go(kRc41_41)}, 1},
    {kRc41_41, false, Flag::Rc, UnitCount::None, Skip::None, false, Consumed::MustEqual,
     log_text::kOverflow41_41, nullptr, log_text::kShort41_41,
     {detail::AllOrFlag(Flag::Rc, 0x10, kRc41_43), detail::OnFlag(Flag::Rc, 0x01, kRc41_44),
      detail::Go(kDc42_41)},
     3},
    {kRc41_43, false, Flag::None, UnitCount::None, Skip::None, false, Consumed::MustEqual,
     log_text::kOverflow41_43, nullptr, nullptr,
     {detail::AllOrFlag(Flag::Rc, 0x01, kRc41_44), detail::Go(kDc42_41)}, 2},
    {kRc41_44, false, Flag::None, UnitCount::None, Skip::None, false, Consumed::MustEqual,
     log_text::kOverflow41_44, nullptr, nullptr, {detail::Go(kDc42_41)}, 1},
    {kDc42_41, false, Flag::Dc, UnitCount::DcChildren, Skip::Two, false, Consumed::LogDiffering,
     log_text::kOverflow42_41, log_text::kDcNumber, log_text::kShort42_41,
     {detail::AllOrFlag(Flag::Dc, 0x11, kDc42_44), detail::GoIf(Guard::HasAc, kRc40_46),
      detail::Go(kRc42_46)},
     3},
    detail::LogBothWays(detail::kDc44Row),
    detail::LogBothWays(detail::kRc40_46Row),
    detail::LogBothWays(detail::kRc42_46Row),
};

inline constexpr CycleTable kBaseCycle{true, kBaseRows, std::size(kBaseRows)};
inline constexpr CycleTable kTvr27pkCycle{false, kTvr27pkRows, std::size(kTvr27pkRows)};

// Every row ends in a branch that is always taken and names only steps of
// the command set.
constexpr bool WellFormed(const CycleTable& t) {
    for (std::size_t i = 0; i < t.size; ++i) {
        const StepRow& r = t.rows[i];
        if (r.branches == 0 || r.branches > std::size(r.next)) return false;
        const Branch& last = r.next[r.branches - 1];
        if (last.whenInvalid || last.flag != Flag::None || last.guard != Guard::Always) return false;
        if (!InCommandSet(r.step)) return false;
        for (std::size_t b = 0; b < r.branches; ++b)
            if (r.next[b].next != kRoundEnd && !InCommandSet(r.next[b].next)) return false;
    }
    return true;
}
static_assert(WellFormed(kBaseCycle), "base transition table");
static_assert(WellFormed(kTvr27pkCycle), "tvr27pk transition table");

}  // namespace bus_cycle
