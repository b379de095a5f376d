#include "tools/runtime/json_line.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace rt {
namespace {

// The bytes written escaped: control characters, '"' and '\\'.
struct EscapeTable {
    bool escape[256] = {};
    constexpr EscapeTable() {
        for (int c = 0; c < 0x20; ++c) escape[c] = true;
        escape[static_cast<unsigned char>('"')] = true;
        escape[static_cast<unsigned char>('\\')] = true;
    }
};
constexpr EscapeTable kEscape;

void AppendString(std::string& out, const char* s, const char* end) {
    static const char kHex[] = "0123456789abcdef";
    out.push_back('"');
    const char* run = s;
    for (; s != end; ++s) {
        const auto c = static_cast<unsigned char>(*s);
        if (!kEscape.escape[c]) continue;
        out.append(run, s);
        run = s + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: {
                const char u[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
                out.append(u, sizeof u);
            }
        }
    }
    out.append(run, s);
    out.push_back('"');
}

template <typename T>
void AppendNumber(std::string& out, T v) {
    char b[32];
    const auto r = std::to_chars(b, b + sizeof b, v);
    out.append(b, r.ptr);
}

// Most measured values have at most three decimals, and below 1e5 their
// shortest text is plain digits: written from the integer of thousandths
// at a fraction of the general conversion's cost, the same bytes. A value
// is taken only when thousandths / 1000 gives it back exactly; then no other
// text of three decimals or fewer is as near (an ulp is far below 0.001).
bool AppendThousandths(std::string& out, double v) {
    if (!(std::fabs(v) < 1e5)) return false;
    const long long n = std::llround(v * 1000);
    if (static_cast<double>(n) / 1000 != v || (n == 0 && std::signbit(v))) return false;
    char b[24];
    char* e = b + sizeof b;
    char* p = e;
    unsigned long long u = static_cast<unsigned long long>(n < 0 ? -n : n);
    int decimals = 3;
    while (decimals > 1 && u % 10 == 0) {  // trailing zeros go, one decimal stays
        u /= 10;
        --decimals;
    }
    for (int i = 0; i < decimals; ++i, u /= 10) *--p = static_cast<char>('0' + u % 10);
    *--p = '.';
    do *--p = static_cast<char>('0' + u % 10);
    while ((u /= 10) != 0);
    if (n < 0) *--p = '-';
    out.append(p, e);
    return true;
}

void AppendReal(std::string& out, double v) {
    // As jsoncpp writes what JSON cannot hold.
    if (std::isnan(v)) return out.append("null"), void();
    if (std::isinf(v)) return out.append(v < 0 ? "-1e+9999" : "1e+9999"), void();
    if (AppendThousandths(out, v)) return;
    char b[32];
    const auto r = std::to_chars(b, b + sizeof b, v);
    out.append(b, r.ptr);
    if (std::memchr(b, '.', r.ptr - b) == nullptr && std::memchr(b, 'e', r.ptr - b) == nullptr) out.append(".0");
}

}  // namespace

void AppendJsonString(std::string& out, const char* s, std::size_t n) { AppendString(out, s, s + n); }
void AppendJsonReal(std::string& out, double v) { AppendReal(out, v); }
void AppendJsonInt(std::string& out, std::int64_t v) { AppendNumber(out, v); }
void AppendJsonUInt(std::string& out, std::uint64_t v) { AppendNumber(out, v); }

void AppendJson(std::string& out, const Json::Value& v) {
    switch (v.type()) {
        case Json::nullValue: out.append("null"); break;
        case Json::intValue: AppendNumber(out, v.asLargestInt()); break;
        case Json::uintValue: AppendNumber(out, v.asLargestUInt()); break;
        case Json::realValue: AppendReal(out, v.asDouble()); break;
        case Json::booleanValue: out.append(v.asBool() ? "true" : "false"); break;
        case Json::stringValue: {
            const char* b = nullptr;
            const char* e = nullptr;
            if (v.getString(&b, &e))
                AppendString(out, b, e);
            else
                out.append("\"\"");
            break;
        }
        case Json::arrayValue: {
            out.push_back('[');
            bool first = true;
            for (const Json::Value& e : v) {
                if (!first) out.push_back(',');
                first = false;
                AppendJson(out, e);
            }
            out.push_back(']');
            break;
        }
        case Json::objectValue: {
            out.push_back('{');
            bool first = true;
            for (auto it = v.begin(); it != v.end(); ++it) {
                if (!first) out.push_back(',');
                first = false;
                char const* end = nullptr;
                const char* name = it.memberName(&end);
                AppendString(out, name, end);
                out.push_back(':');
                AppendJson(out, *it);
            }
            out.push_back('}');
            break;
        }
    }
}

std::string JsonLine(const Json::Value& v) {
    std::string out;
    AppendJson(out, v);
    return out;
}

}  // namespace rt
