#include "tools/monitor/terminal_view.h"

#include "tools/monitor/dashboard.h"
#include "tools/runtime/log_sink.h"

#include <curses.h>
#include <langinfo.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <cstdlib>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace monitor {
namespace {

using Clock_ = std::chrono::steady_clock;

enum Pair : short { kRed = 1, kYellow, kCyan };

// The "no answer since" state: from the first time the live counters show
// a timeout the last round did not have.
std::string LineText(const Json::Value& atRound, const rt::LineStats& now, std::string& since) {
    if (now.port_losses > now.reopens) return "port lost, reopening";
    if (now.timeouts > atRound["timeouts"].asUInt64()) {
        if (since.empty()) since = Clock(rt::LocalTimestamp());
        return "no answer since " + since;
    }
    since.clear();
    return "polling";
}

}  // namespace

struct TerminalView::Impl {
    std::FILE* out;
    std::function<rt::LineStats(std::uint32_t)> stats;
    std::function<void()> quit;
    SCREEN* term = nullptr;
    bool colour = false;

    std::mutex mutex;
    std::deque<Json::Value> pending;  // rounds not drawn yet
    std::atomic<bool> stop{false};
    std::thread thread;

    // What the view keeps of one line of the site (view thread only).
    struct LineView {
        RoundHistory history;
        Json::Value round;
        Clock_::time_point roundAt;
        std::string since;
    };
    std::map<std::uint32_t, LineView> lines;  // by the bus device's data id
    std::size_t top = 0;                      // first body line shown

    attr_t Attr(Style s) const {
        switch (s) {
            case Style::kNormal: return A_NORMAL;
            case Style::kHeading: return A_BOLD;
            case Style::kDim: return A_DIM;
            case Style::kLevel1: return colour ? COLOR_PAIR(kRed) | A_BOLD : A_BOLD;
            case Style::kLevel2: return colour ? COLOR_PAIR(kYellow) | A_BOLD : A_BOLD;
            case Style::kLevel3: return colour ? COLOR_PAIR(kCyan) : A_NORMAL;
        }
        return A_NORMAL;
    }

    void DrawLine(int y, const Line& l) {
        move(y, 0);
        for (const Span& s : l) {
            attrset(Attr(s.style));
            addstr(s.text.c_str());
        }
        attrset(A_NORMAL);
        clrtoeol();
    }

    void Draw() {
        // Repainted in full: log lines written to the same terminal (no
        // --log) are gone at the next redraw.
        clearok(curscr, TRUE);
        erase();
        if (lines.empty()) {
            DrawLine(0, {{"waiting for the first round ...", Style::kDim}});
            refresh();
            return;
        }
        // One section per line of the site; with several, each gets a share
        // of the rows for its events and the whole scrolls below the first
        // line's header.
        Screen s;
        const int share = lines.size() > 1 ? std::max(12, LINES / static_cast<int>(lines.size())) : LINES;
        for (auto& [busId, v] : lines) {
            LineState line;
            line.text = LineText(v.round["stats"], stats(busId), v.since);
            line.age_s =
                static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(Clock_::now() - v.roundAt).count());
            Screen part = Layout(v.round, v.history, line, COLS, share);
            if (s.lines.empty()) s.pinned = part.pinned;
            s.lines.insert(s.lines.end(), part.lines.begin(), part.lines.end());
        }
        int y = 0;
        for (std::size_t k = 0; k < s.pinned && y < LINES; ++k) DrawLine(y++, s.lines[k]);
        const std::size_t body = s.lines.size() - s.pinned;
        const std::size_t rows = LINES > y ? static_cast<std::size_t>(LINES - y) : 0;
        const bool scrolls = body > rows;
        const std::size_t shown = scrolls && rows > 0 ? rows - 1 : rows;
        top = scrolls ? std::min(top, body - shown) : 0;
        for (std::size_t k = 0; k < shown && top + k < body; ++k) DrawLine(y++, s.lines[s.pinned + top + k]);
        if (scrolls && rows > 0) {
            attrset(A_REVERSE);
            mvprintw(LINES - 1, 0, " lines %zu-%zu of %zu  Up/Down PgUp/PgDn ", top + 1, top + shown, body);
            attrset(A_NORMAL);
        }
        refresh();
    }

    void Key(int ch) {
        const std::size_t page = LINES > 4 ? static_cast<std::size_t>(LINES - 4) : 1;
        switch (ch) {
            case KEY_UP: top = top > 0 ? top - 1 : 0; break;
            case KEY_DOWN: ++top; break;
            case KEY_PPAGE: top = top > page ? top - page : 0; break;
            case KEY_NPAGE:
            case ' ': top += page; break;
            case KEY_HOME: top = 0; break;
            case KEY_END: top = static_cast<std::size_t>(-1) / 2; break;
            case 'q':
            case 'Q': quit(); break;
            default: break;
        }
    }

    void Run() {
        auto drawn = Clock_::now();
        Draw();
        // Keys only from a terminal: getch on a file or /dev/null would not wait.
        const bool keys = ::isatty(0) != 0;
        while (!stop) {
            const int ch = keys ? getch() : ERR;  // waits at most the input timeout
            if (!keys) std::this_thread::sleep_for(std::chrono::milliseconds(200));
            bool dirty = ch != ERR;
            if (ch != ERR) Key(ch);
            {
                std::lock_guard<std::mutex> lock(mutex);
                for (; !pending.empty(); pending.pop_front()) {
                    LineView& v = lines[pending.front()["bus"]["data_id"].asUInt()];
                    v.history.Add(pending.front());
                    v.round = std::move(pending.front());
                    v.roundAt = Clock_::now();
                    dirty = true;
                }
            }
            if (dirty || Clock_::now() - drawn >= std::chrono::seconds(1)) {
                Draw();
                drawn = Clock_::now();
            }
        }
    }
};

TerminalView::TerminalView(std::FILE* out, std::function<rt::LineStats(std::uint32_t)> stats,
                           std::function<void()> quit)
    : impl_(std::make_unique<Impl>()) {
    impl_->out = out;
    impl_->stats = std::move(stats);
    impl_->quit = std::move(quit);
    // The devices' texts are UTF-8: ncurses draws them with the locale's
    // character set, UTF-8 even where the environment names none. Only
    // LC_CTYPE, so that numbers keep their decimal point.
    const char* ctype = std::setlocale(LC_CTYPE, "");
    if (!ctype || std::string(nl_langinfo(CODESET)) != "UTF-8") std::setlocale(LC_CTYPE, "C.UTF-8");
    std::fflush(out);
    impl_->term = newterm(nullptr, out, stdin);
    if (!impl_->term) throw std::runtime_error("cannot use the terminal (TERM not set or unknown)");
    set_term(impl_->term);
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    timeout(200);
    curs_set(0);
    const char* noColour = std::getenv("NO_COLOR");
    impl_->colour = has_colors() && !(noColour && *noColour);
    if (impl_->colour) {
        start_color();
        use_default_colors();
        init_pair(kRed, COLOR_RED, -1);
        init_pair(kYellow, COLOR_YELLOW, -1);
        init_pair(kCyan, COLOR_CYAN, -1);
    }
    impl_->thread = std::thread([this] { impl_->Run(); });
}

TerminalView::~TerminalView() {
    impl_->stop = true;
    impl_->thread.join();
    endwin();
    delscreen(impl_->term);
    std::fflush(impl_->out);
}

void TerminalView::Show(const Json::Value& round) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->pending.push_back(round);
}

}  // namespace monitor
