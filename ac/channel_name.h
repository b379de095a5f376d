#pragma once
// Per-channel signal names: "channel_<index>_<letter>", searched anywhere in
// the name ("ac_channel_0_a" is channel 0, letter "a"). The letter is the one
// character after the underscore that follows the digits; the rest of the
// name is ignored ("channel_0_frequency" is letter "f").
#include <optional>
#include <string>
#include <string_view>

namespace ac_detail {

struct ChannelName {
    std::string_view digits;  // one or more decimal digits, as written
    std::string_view letter;  // exactly one character
};

// The first occurrence of the pattern in name (views into name), or nothing.
std::optional<ChannelName> FindChannelName(const std::string& name);

}  // namespace ac_detail
