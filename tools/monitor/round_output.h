#pragma once
// Where the monitor's rounds go: JSON lines (--json), the field dump
// (--view fields), the dashboard on the terminal, or the dashboard as plain
// text once a round when standard output is not a terminal.
#include "tools/model/round.h"
#include "tools/monitor/monitor_args.h"
#include "tools/monitor/round_history.h"
#include "tools/monitor/terminal_view.h"

#include <json/value.h>

#include <cstdio>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

namespace monitor {

class RoundOutput {
public:
    // Takes over the terminal when the dashboard goes to one; create it
    // after the signal handlers are set, so that ncurses keeps them.
    // stats: the live counters of the line whose bus device has the data id.
    RoundOutput(const Args& args, std::FILE* out, std::function<rt::LineStats(std::uint32_t)> stats,
                std::function<void()> quit);
    // One completed round, with its active alarms (on the worker thread).
    // Whether Print shows anything (not --view none).
    bool WantsRounds() const { return args_.json || args_.view != Args::View::kNone; }
    // Writes the round's text only for --json.
    void Print(const model::Round& round);

private:
    const Args& args_;
    std::FILE* out_;
    bool tty_;
    std::map<std::uint32_t, RoundHistory> histories_;  // plain-text dashboard, by line
    std::unique_ptr<TerminalView> screen_;  // dashboard on a terminal
};

}  // namespace monitor
