#pragma once
// What is wrong with a site file, as the readers of its keys find it. At
// start-up the first problem ends the reading (ConfigError, "configuration:
// PATH: TEXT"); `monitor check` collects every problem and goes on, each
// reader keeping its default for the bad key.
#include <json/value.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace rt {

struct ConfigError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

struct ConfigProblem {
    std::string path;  // the key's place: "lines[1].dcSetting[0].data_id", "" for the whole file
    std::string text;  // what is wrong with it
    std::string Line() const { return path.empty() ? text : path + ": " + text; }
};

class ConfigProblems {
public:
    enum class Mode { kThrow, kCollect };
    explicit ConfigProblems(Mode mode = Mode::kThrow) : mode_(mode) {}

    // Throws ConfigError in kThrow mode, else keeps the problem.
    void Add(const std::string& path, const std::string& text);
    bool Collecting() const { return mode_ == Mode::kCollect; }
    const std::vector<ConfigProblem>& List() const { return list_; }
    std::size_t Count() const { return list_.size(); }

private:
    Mode mode_;
    std::vector<ConfigProblem> list_;
};

// "parent.key" ("key" at the top), "parent[i]".
std::string KeyPath(const std::string& parent, const std::string& key);
std::string IndexPath(const std::string& parent, std::size_t index);

// The known key nearest to key in spelling, or "" when none is near.
std::string NearestKey(const std::string& key, const std::vector<std::string>& known);
// Reports every member of object that is not one of known, with the nearest
// known key as a hint. Nothing for a value that is not an object.
void CheckKnownKeys(const Json::Value& object, const std::string& path, const std::vector<std::string>& known,
                    ConfigProblems& problems);

}  // namespace rt
