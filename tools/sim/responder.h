#pragma once
// The simulated power system's behaviour, without I/O: takes the body of a
// received request frame and says what to send back and when. Keeps the
// round counter, plays the scenario's timeline, sets the DATAFLAG bits of
// what changed and injects the configured faults.
//
// Error answers (RTN, no INFO) to requests addressed to this unit:
//   0x02  CHKSUM does not match
//   0x03  LCHKSUM does not match LENID
//   0x04  unknown CID1/CID2 pair
//   0x05  format: non-hex characters, odd or wrong LENID, frame cut short,
//         or an INFO length the command does not take
//   0x06  invalid data: a command-group byte other than 0xFF
// Any VER is accepted (0x01 is never sent). Frames for another address, and
// frames too damaged to show VER, ADR and CID1, get no answer at all.
#include "tools/sim/command_set.h"
#include "tools/sim/faults.h"
#include "tools/sim/info_builder.h"
#include "tools/sim/scenario.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

namespace rtn {
constexpr std::uint8_t kNormal = 0x00;
constexpr std::uint8_t kChecksum = 0x02;
constexpr std::uint8_t kLengthChecksum = 0x03;
constexpr std::uint8_t kUnknownCommand = 0x04;
constexpr std::uint8_t kFormat = 0x05;
constexpr std::uint8_t kInvalidData = 0x06;
}  // namespace rtn

// Bytes to write after waiting delay_ms (counted from the end of the
// previous item, or from the request for the first one).
struct Outgoing {
    int delay_ms = 0;
    std::string bytes;
};

struct Reply {
    std::string request;           // "40_41", or what was wrong with the frame
    std::vector<Outgoing> out;     // empty: no answer
    std::vector<std::string> faults;  // names of the injected faults
    bool round_started = false;
};

struct ResponderOptions {
    std::uint8_t address = 1;
    int latency_ms = 0;
    // When > 0, after this many rounds the plant returns to its state of
    // round 0 and the timeline and the round-bound faults play again.
    int repeat = 0;
};

class Responder {
public:
    Responder(const Scenario& scenario, const ResponderOptions& options);

    // Adds a fault rule beside the scenario's own.
    void AddFault(const FaultRule& rule) { faults_.Add(rule); }
    // The chars between '~' and CR of one received frame.
    Reply OnFrame(const std::string& body);

    // The round of the timeline (of the current pass with `repeat`).
    int Round() const { return timeline_.Round(); }
    // Passes of the timeline begun: 1 in the first, then 2, ...
    int Pass() const { return pass_; }
    const Plant& CurrentPlant() const { return plant_; }

private:
    Reply Answer(const std::string& body);
    std::uint8_t DataFlag(FlagGroup group) const;
    void NoteRequest(const std::string& name, Reply& reply);
    void ApplyFaults(const std::string& name, std::uint8_t ver, std::uint8_t cid1, Bytes info, Reply& reply);

    Scenario scenario_;
    ResponderOptions options_;
    Timeline timeline_;
    Plant plant_;
    FaultPlan faults_;
    std::string lastRequest_;
    int pass_ = 1;
    bool acSinceRc_ = false;
    // The INFO (after INFO[0]) of each DATAFLAG-gated answer as last
    // delivered intact; a difference sets the answer's bit.
    std::map<std::string, Bytes> delivered_;
    unsigned noiseSeed_ = 12345;
};

}  // namespace sim
