#pragma once
// The benchmarked plant: a tvr27pk bus device configured from bench/site.json
// (2 AC units, 2 DC units, the rectifier group) under the bench host, and the
// decoded answers of bench/plant.json (3 channels per AC unit, 12 rectifier
// modules) built by the simulator's answer builders.
#include "bench/bench_host.h"
#include "bus/bus_models.h"
#include "tools/sim/plant.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bench {

using Bytes = std::vector<std::uint8_t>;

// A decoded answer in the response-buffer layout, and its frame on the wire.
struct Answer {
    std::uint8_t cid1 = 0;
    std::uint8_t cid2 = 0;
    Bytes decoded;
    std::string frame;
};

// The answers of one kind of round: every DATAFLAG the same.
class AnswerSet {
public:
    AnswerSet(const sim::Plant& plant, std::uint8_t dataflag);
    // The answer to a request, or nullptr.
    const Answer* For(std::uint8_t cid1, std::uint8_t cid2) const {
        for (const Answer& a : answers_)
            if (a.cid1 == cid1 && a.cid2 == cid2) return &a;
        return nullptr;
    }

private:
    std::vector<Answer> answers_;
};

struct RoundStats {
    int answers = 0;
    std::size_t requestBytes = 0;  // request frames on the wire
    std::size_t answerBytes = 0;   // answer frames on the wire
};

class Rig {
public:
    Rig();

    // One whole round: RefreshStatus sends the first request, each request's
    // answer is delivered until the round ends. Returns the answers handled.
    int Round(const AnswerSet& answers);
    // The same round, also adding up the frames of its requests and answers.
    RoundStats MeasuredRound(const AnswerSet& answers);

    sim::Plant plant;
    AnswerSet full;    // DATAFLAG 0x11: with data-valid 0 every request is made
    AnswerSet steady;  // DATAFLAG 0: with data-valid 1 only the first answers of the groups
    std::shared_ptr<BenchController> ctl;
    std::shared_ptr<tvr27pk> bus;
    std::vector<std::shared_ptr<tvr27pkAC>> ac;
    std::vector<std::shared_ptr<tvr27pkDC>> dc;
    std::shared_ptr<tvr27pkRC> rc;
};

// Reads a whole file; throws std::runtime_error.
std::string ReadFile(const std::string& path);

}  // namespace bench
