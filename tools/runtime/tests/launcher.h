#pragma once
// The command line that starts one of the tools' programs from a test. In a
// cross build the emulator and its arguments come first: PMB_TEST_LAUNCHER
// holds them as '|'-separated words (empty in a native build).
#include <algorithm>
#include <string>
#include <vector>

namespace rttest {

inline std::vector<std::string> LaunchWords(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> words;
    const std::string text = PMB_TEST_LAUNCHER;
    for (std::size_t pos = 0; !text.empty() && pos <= text.size();) {
        const std::size_t bar = std::min(text.find('|', pos), text.size());
        words.push_back(text.substr(pos, bar - pos));
        pos = bar + 1;
    }
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

}  // namespace rttest
