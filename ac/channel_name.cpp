#include "ac/channel_name.h"

// GCC 12 reports a false maybe-uninitialized inside <regex> when optimising
// with the sanitizers; the standard header is not ours to change.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop

namespace ac_detail {

std::optional<ChannelName> FindChannelName(const std::string& name) {
    // Compiled once; searching with a const pattern is safe from any thread.
    static const std::regex pattern("channel_(\\d+)_(.+?)", std::regex::ECMAScript);
    std::smatch m;
    if (!std::regex_search(name, m, pattern)) return std::nullopt;
    const auto view = [&](const std::ssub_match& s) {
        return std::string_view(name.data() + (s.first - name.begin()),
                                static_cast<std::size_t>(s.length()));
    };
    return ChannelName{view(m[1]), view(m[2])};
}

}  // namespace ac_detail
