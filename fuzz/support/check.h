#pragma once
// Checks inside fuzz targets: a broken rule prints what was expected and
// aborts, which libFuzzer reports as a crash with the input that caused it.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

namespace fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* what, const std::string& detail) {
    std::fprintf(stderr, "\n%s:%d: rule broken: %s\n%s\n", file, line, what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

// Builds the detail text from any streamable values.
template <typename... Args>
std::string Detail(const Args&... args) {
    std::ostringstream os;
    ((os << args << ' '), ...);
    return os.str();
}

// Byte-for-byte equality of stored values: floats are copied as they stand
// (NaN patterns and -0 included), so their bytes are what is compared.
inline bool SameBytes(const void* a, const void* b, std::size_t n) { return std::memcmp(a, b, n) == 0; }

}  // namespace fuzz

#define FUZZ_CHECK(cond, ...)                                                        \
    do {                                                                             \
        if (!(cond)) ::fuzz::Fail(__FILE__, __LINE__, #cond, ::fuzz::Detail(__VA_ARGS__)); \
    } while (0)
