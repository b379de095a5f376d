#include "ac/channel_name.h"

#include <cstddef>

namespace ac_detail {
namespace {

constexpr std::string_view kPrefix = "channel_";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
// The pattern's "." takes any character but the two line terminators.
bool AnyButLineEnd(char c) { return c != '\n' && c != '\r'; }

}  // namespace

// The search of "channel_(\d+)_(.+?)" without a regex engine: at the first
// place where "channel_" stands, the digits after it (greedy: a shorter run
// would leave a digit where "_" must be), then "_" and the one character the
// lazy group takes. Where that fails the next "channel_" is tried. Each
// character is looked at a bounded number of times, and nothing grows with
// the name, so a name of any length is safe on a small stack.
std::optional<ChannelName> FindChannelName(const std::string& name) {
    const std::string_view s(name);
    for (std::size_t at = s.find(kPrefix); at != std::string_view::npos; at = s.find(kPrefix, at + 1)) {
        const std::size_t first = at + kPrefix.size();
        std::size_t end = first;
        while (end < s.size() && IsDigit(s[end])) ++end;
        if (end == first || end + 1 >= s.size() || s[end] != '_' || !AnyButLineEnd(s[end + 1])) continue;
        return ChannelName{s.substr(first, end - first), s.substr(end + 1, 1)};
    }
    return std::nullopt;
}

}  // namespace ac_detail
