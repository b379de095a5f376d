#pragma once
// Fills "{}" placeholders of a log text in order. Bytes print as numbers.
// A printf-style %u, %d or %s is filled like "{}", so that texts written in
// either style read well in the log.
#include <cstdint>
#include <sstream>
#include <string>
#include <type_traits>

namespace hostfmt {

template <typename T>
void put(std::ostringstream& os, const T& v) {
    if constexpr (std::is_same_v<T, bool>) {
        os << (v ? "true" : "false");
    } else if constexpr (std::is_integral_v<T>) {
        if constexpr (std::is_signed_v<T>)
            os << static_cast<long long>(v);
        else
            os << static_cast<unsigned long long>(v);
    } else {
        os << v;
    }
}

// Copies fmt up to the next placeholder; returns its position after it or npos.
std::size_t copy_to_placeholder(std::ostringstream& os, const std::string& fmt, std::size_t from);

inline void rest(std::ostringstream& os, const std::string& fmt, std::size_t pos) {
    if (pos < fmt.size()) os << fmt.substr(pos);
}

template <typename... Args>
std::string format(const char* fmt, const Args&... args) {
    const std::string f = fmt ? fmt : "";
    std::ostringstream os;
    std::size_t pos = 0;
    bool more = true;
    auto one = [&](const auto& v) {
        if (!more) return;
        std::size_t next = copy_to_placeholder(os, f, pos);
        if (next == std::string::npos) {
            more = false;
            pos = f.size();
            return;
        }
        put(os, v);
        pos = next;
    };
    (one(args), ...);
    rest(os, f, pos);
    return os.str();
}

}  // namespace hostfmt
