#include "tools/runtime/config_problems.h"

#include <algorithm>
#include <cctype>

namespace rt {
namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Edits (insert, delete, replace, swap of neighbours) from a to b.
std::size_t Distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

void ConfigProblems::Add(const std::string& path, const std::string& text) {
    ConfigProblem p{path, text};
    if (mode_ == Mode::kThrow) throw ConfigError("configuration: " + p.Line());
    list_.push_back(std::move(p));
}

std::string KeyPath(const std::string& parent, const std::string& key) {
    return parent.empty() ? key : parent + "." + key;
}

std::string IndexPath(const std::string& parent, std::size_t index) {
    return parent + "[" + std::to_string(index) + "]";
}

std::string NearestKey(const std::string& key, const std::vector<std::string>& known) {
    const std::string k = Lower(key);
    std::string best;
    std::size_t bestDistance = 0;
    for (const std::string& candidate : known) {
        const std::string c = Lower(candidate);
        // A key that holds a known one or is held by it ("diffv", "timeout")
        // counts as one edit away.
        std::size_t d = Distance(k, c);
        if (k.size() >= 3 && c.size() >= 3 && (c.find(k) != std::string::npos || k.find(c) != std::string::npos))
            d = std::min<std::size_t>(d, 1);
        if (best.empty() || d < bestDistance) {
            best = candidate;
            bestDistance = d;
        }
    }
    // Near: at most a third of the key's letters wrong, and at least one right.
    const std::size_t limit = std::max<std::size_t>(1, key.size() / 3);
    return !best.empty() && bestDistance <= limit && bestDistance < key.size() ? best : "";
}

void CheckKnownKeys(const Json::Value& object, const std::string& path, const std::vector<std::string>& known,
                    ConfigProblems& problems) {
    if (!object.isObject()) return;
    for (const std::string& key : object.getMemberNames()) {
        if (std::find(known.begin(), known.end(), key) != known.end()) continue;
        const std::string hint = NearestKey(key, known);
        problems.Add(KeyPath(path, key),
                     "unknown key \"" + key + "\"" + (hint.empty() ? "" : "; did you mean \"" + hint + "\"?"));
    }
}

}  // namespace rt
