#pragma once
// The dashboard on a terminal, drawn with ncurses on the alternate screen
// and redrawn in place after every round and once a second (line state,
// data age). Its own thread reads the keys and draws; rounds are handed
// over from any thread.
//
// Keys: Up/Down one line, PgUp/PgDn (and space) a page, Home/End, q quits.
// Colour when the terminal has it and NO_COLOR is not set.
#include "tools/runtime/host_runtime.h"

#include <json/value.h>

#include <cstdio>
#include <cstdint>
#include <functional>
#include <memory>

namespace monitor {

class TerminalView {
public:
    // Takes over the terminal behind out (input from standard input);
    // throws std::runtime_error when it cannot. stats gives the live line
    // counters of the line whose bus device has the data id (called on the
    // view's thread); quit is called on q. Several lines of a site show as
    // one section each.
    TerminalView(std::FILE* out, std::function<rt::LineStats(std::uint32_t)> stats, std::function<void()> quit);
    // Ends the thread and gives the terminal back as it was.
    ~TerminalView();
    TerminalView(const TerminalView&) = delete;
    TerminalView& operator=(const TerminalView&) = delete;

    void Show(const Json::Value& round);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace monitor
