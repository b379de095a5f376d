#include "tools/monitor/round_output.h"

#include "tools/monitor/dashboard.h"
#include "tools/model/round_view.h"
#include "tools/monitor/round_text.h"

#include <unistd.h>

#include <exception>

namespace monitor {
namespace {
constexpr int kPlainWidth = 80;
}

RoundOutput::RoundOutput(const Args& args, std::FILE* out, std::function<rt::LineStats(std::uint32_t)> stats,
                         std::function<void()> quit)
    : args_(args), out_(out), tty_(::isatty(::fileno(out)) != 0) {
    if (args.json || args.view != Args::View::kDashboard || !tty_) return;
    // (--view none: Print writes nothing and asks the round for nothing.)
    try {
        screen_ = std::make_unique<TerminalView>(out, std::move(stats), std::move(quit));
    } catch (const std::exception& e) {
        // A terminal ncurses does not know: the plain-text dashboard.
        std::fprintf(out, "monitor: %s; the dashboard follows as plain text\n", e.what());
    }
}

void RoundOutput::Print(const model::Round& shared) {
    if (screen_) return screen_->Show(shared.Tree());
    if (!args_.json && args_.view == Args::View::kNone) return;
    const Json::Value& round = args_.json ? Json::Value::nullSingleton() : shared.Tree();
    if (args_.json) {
        const std::string& text = shared.Text();
        std::fwrite(text.data(), 1, text.size(), out_);
        std::fputc('\n', out_);
    } else if (args_.view == Args::View::kFields) {
        if (tty_) std::fputs("\x1b[H\x1b[2J", out_);
        std::fputs(RenderText(round).c_str(), out_);
        if (!tty_) std::fputs("\n", out_);
    } else {
        RoundHistory& history = histories_[round["bus"]["data_id"].asUInt()];
        history.Add(round);
        std::fputs(PlainText(Layout(round, history, LineState{}, kPlainWidth, 0)).c_str(), out_);
        std::fputs("\n", out_);
    }
    std::fflush(out_);
}

}  // namespace monitor
