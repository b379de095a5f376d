#pragma once
// Scenarios: the plant of the simulated power system as a JSON document,
// the timeline of changes by round and the injected faults. See
// scenarios/default.json (also built in) for the format.
#include "tools/sim/faults.h"
#include "tools/sim/info_builder.h"
#include "tools/sim/plant.h"

#include <json/value.h>

#include <climits>
#include <string>
#include <vector>

namespace sim {

// One change of the plant. "set" writes `value` at `path` in round `round`;
// "add" adds the number `value` at `path` in every round from `round` to
// `until` (inclusive; no "until": for ever), which makes a value drift.
struct TimelineEvent {
    int round = 1;
    int until = INT_MAX;
    bool add = false;
    std::string path;  // "dc/0/v": members and array indexes split by '/'
    Json::Value value;
};

struct Scenario {
    Json::Value doc;  // the plant part of the document, as of round 0
    Model model = Model::tvr27pk;
    BuildOptions build;
    int answer_version = -1;  // VER of the answers; -1: the request's
    bool model_text_given = false;  // else the model text is the model's name
    std::vector<TimelineEvent> timeline;
    std::vector<FaultRule> faults;
};

// Parses and checks a whole scenario: the plant at round 0 and after every
// round that the timeline changes must build. Throws std::runtime_error
// with a message naming the offending member.
Scenario ParseScenario(const std::string& text);
Scenario LoadScenarioFile(const std::string& path);
// The built-in scenario: the text of scenarios/default.json.
const std::string& DefaultScenarioText();
Scenario DefaultScenario();

// Serves another model than the scenario names (--model); the reported
// model text follows unless the scenario sets "model_text".
void OverrideModel(Scenario& scenario, Model model);

// The plant described by a (possibly changed) plant document.
Plant BuildPlant(const Json::Value& doc);
Model ModelFromName(const std::string& name);  // throws on unknown names
const char* ModelName(Model model);

// Plays the timeline: holds the plant document of the current round.
class Timeline {
public:
    explicit Timeline(const Scenario& scenario);
    int Round() const { return round_; }
    // Moves to the next round and applies its events.
    void Advance();
    const Json::Value& Doc() const { return doc_; }
    Plant CurrentPlant() const { return BuildPlant(doc_); }

private:
    std::vector<TimelineEvent> events_;
    Json::Value doc_;
    int round_ = 0;
};

}  // namespace sim
