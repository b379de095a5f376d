#pragma once
// The plant of the end-to-end tests, described once: the description is
// written out as the simulator's scenario and the site configuration, and
// the same description tells what every decoded value, active alarm, alarm
// event and line counter must be after a given round.
//
// Plant: one AC unit with two input channels, dcUnits DC units, three
// rectifier modules. Several values drift every round, so that a round
// decoded with another round's data shows. Three conditions come and go:
// phase loss on phase A of the first AC channel, a fault of rectifier
// module 2, a fault of fuse 3 of the last DC unit.
#include "tools/runtime/json_line.h"

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

enum class Model { kTvr27pk, kQzl4200 };

// Set in round begin, cleared in round end.
struct Window {
    int begin;
    int end;
    bool Covers(int round) const { return round >= begin && round < end; }
    bool Changes(int round) const { return round == begin || round == end; }
};

struct Fault {
    std::string kind;     // the simulator's fault kind
    std::string command;  // "CC_DD"
    int round;
};

struct AcChannelState {
    double a, b, c, f;
    int alarms[4];  // states of a, b, c, f
};
struct DcState {
    double v, i;
    std::vector<double> m, n, user;  // a user value of kInvalid travels as the invalid marker
    std::vector<int> fuses;          // 64 states
};
struct ModuleState {
    double value;
    std::vector<double> user;
    int fault;
};
struct PlantState {
    AcChannelState channels[2];
    double currents[3];
    std::vector<DcState> dc;
    double groupValue;
    std::vector<ModuleState> modules;
    std::vector<double> p40_46, p42_46, p42_46User;
};

// A user value sent as the invalid marker.
constexpr double kInvalid = 1e30;

// One alarm rule state by the plug-in's names.
struct Alarm {
    std::uint32_t dataId;
    std::string key;
    std::uint32_t seq;
    std::string alarmId;
    int level;
    std::string name;
    std::string text;
};

struct AlarmChange {
    int round;
    bool begin;
    Alarm alarm;
};

// Cumulative line counters after a round.
struct LineCounts {
    std::uint64_t requests = 0, answers = 0, timeouts = 0, badFrames = 0, errorAnswers = 0, lateFrames = 0,
                  noiseBytes = 0;
};

struct Plan {
    Model model = Model::kTvr27pk;
    int dcUnits = 2;
    int rounds = 0;
    Window phaseLoss{0, 0};
    Window moduleFault{0, 0};
    Window fuseFault{0, 0};
    std::vector<Fault> faults;
    std::uint32_t busId = 1000;  // the rectifier child shares it; AC busId+1, DC busId+2...
    int timeoutMs = 1000;
    // A "delay" fault answers this late: half a timeout past it, so that the
    // answer comes while the host waits for the line to fall silent before
    // asking again (one more timeout), and is dropped as late. An answer
    // later than two timeouts would meet the repeated request instead.
    int delayMs = 1500;
    int noiseBytes = 16;

    const char* ModelName() const { return model == Model::kTvr27pk ? "tvr27pk" : "qzl4200"; }
    std::uint32_t AcId() const { return busId + 1; }
    std::uint32_t DcId(int unit) const { return busId + 2 + static_cast<std::uint32_t>(unit); }
    // GetAllChildVDevices order: AC, DC units, rectifiers.
    std::vector<std::uint32_t> ChildIds() const;
    std::vector<int> ChildTypeNumbers() const;
    std::vector<std::string> ChildTypes() const;

    Json::Value Scenario() const;
    Json::Value Site(const std::string& database) const;
    PlantState At(int round) const;
    std::vector<Alarm> ActiveAt(int round) const;  // ordered by data id, key, seq
    std::vector<AlarmChange> Changes() const;      // in the order the worker writes them
    LineCounts CountsAfter(int round) const;
    std::size_t RulesPerRound() const;

    // The three alarms of the plan.
    Alarm PhaseLoss() const;
    Alarm ModuleFault() const;
    Alarm FuseFault() const;
};

// Writes text to path; throws on failure.
void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);

}  // namespace e2e
