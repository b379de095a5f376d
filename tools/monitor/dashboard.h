#pragma once
// The dashboard: one round of the monitor laid out as lines of styled text
// for a screen of a given width. The terminal view draws them with ncurses;
// without a terminal they are printed as plain text. Labels, units and the
// words for alarm states come from the field table (field_table.h).
//
//   bus, port, line state, round, time, round duration, data age
//   line counters that are not zero
//   AC     one row per input channel: A B C (V) f (Hz), states as words;
//          the phase currents (A) with their states
//   DC     per unit voltage (V) and state, current (A), battery and load
//          branch currents (A), the fuses as a summary
//   rectifiers: group value, one row per module (value, state bytes, fault)
//   active alarms, newest first, with the time they began
//   the last line and alarm events
#include "tools/monitor/round_history.h"

#include <json/value.h>

#include <string>
#include <vector>

namespace monitor {

enum class Style {
    kNormal,
    kHeading,  // section and column headings
    kDim,      // values of a device whose data is missing or stale
    kLevel1,   // alarm of level 1 (most severe), and values in that state
    kLevel2,
    kLevel3,
};

struct Span {
    std::string text;  // UTF-8
    Style style = Style::kNormal;
};
using Line = std::vector<Span>;

struct Screen {
    std::vector<Line> lines;
    std::size_t pinned = 0;  // header lines that stay when the rest scrolls
};

// What only the live terminal knows between rounds.
struct LineState {
    std::string text = "polling";  // "no answer since HH:MM:SS", "port lost, reopening"
    long age_s = 0;                // seconds since the round ended
};

// width: columns of the screen (at least 40 is assumed); lines are cut to
// it. height: rows of the screen, which the events fill as far as there is
// room (none when the plant and the alarms take it all); 0 for plain text
// (a few events).
Screen Layout(const Json::Value& round, const RoundHistory& history, const LineState& line, int width, int height);
// The lines joined by newlines (each ending in one), no escape codes.
std::string PlainText(const Screen& screen);
// Columns a UTF-8 text takes on a terminal (CJK characters take two).
std::size_t TextWidth(const std::string& text);

}  // namespace monitor
