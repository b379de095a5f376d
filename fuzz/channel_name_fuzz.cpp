// The channel-name search against the standard library's regex engine: for
// every name, FindChannelName finds a match exactly where
// std::regex_search("channel_(\d+)_(.+?)") does, with the same two groups
// at the same places. Names are cut at 1 KiB, where the engine's recursion
// (one frame per character) is still safe; fuzz_get_value covers long names.
//
// Input: the name.
#include "ac/channel_name.h"
#include "fuzz/support/check.h"

#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kEngineSafe = 1024;
    const std::string name(reinterpret_cast<const char*>(data), size < kEngineSafe ? size : kEngineSafe);
    static const std::regex pattern("channel_(\\d+)_(.+?)", std::regex::ECMAScript);
    std::smatch m;
    const bool want = std::regex_search(name, m, pattern);
    const auto got = ac_detail::FindChannelName(name);
    FUZZ_CHECK(got.has_value() == want, "found", got.has_value(), "engine", want, name);
    if (!want) return 0;
    const auto at = [&](std::string_view v) { return static_cast<std::ptrdiff_t>(v.data() - name.data()); };
    FUZZ_CHECK(at(got->digits) == m.position(1) && got->digits.size() == static_cast<std::size_t>(m.length(1)),
               "digits at", at(got->digits), got->digits.size(), "engine", m.position(1), m.length(1), name);
    FUZZ_CHECK(at(got->letter) == m.position(2) && got->letter.size() == static_cast<std::size_t>(m.length(2)),
               "letter at", at(got->letter), got->letter.size(), "engine", m.position(2), m.length(2), name);
    return 0;
}
