// The plug-in's benchmarks: each decoder on its answer, whole tvr27pk rounds,
// Get_Value, and the host's frame encoder and decoder. Besides Google
// Benchmark's own output, --tsv=FILE writes one line per case for bench/run:
//   case  CPU ns/op  plug-in allocations/op  host allocations/op  note
// --one-round=full|steady sets the plant up, runs warm-up rounds and then one
// round inside pmb_bench_one_round(), for callgrind's --toggle-collect.
#include "bench/alloc_count.h"
#include "bench/bench_host.h"
#include "bench/rig.h"
#include "host/frame_codec.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using bench::AllocCounts;
using bench::HostWork;
using bench::Rig;

constexpr double kBaud = 9600.0;
constexpr double kBitsPerByte = 10.0;  // 8N1

Rig& TheRig() {
    static Rig rig;
    return rig;
}

// Per-case figures that are not timings: allocations per operation and a note.
struct Extra {
    double plugin = 0;
    double host = 0;
    std::string note;
};
std::map<std::string, Extra>& Extras() {
    static std::map<std::string, Extra> m;
    return m;
}

// Counts the allocations of n calls of f.
template <typename F>
AllocCounts CountAllocs(int n, F&& f) {
    bench::StartCounting();
    for (int i = 0; i < n; ++i) f();
    return bench::StopCounting();
}

template <typename F>
void Record(const std::string& name, int n, F&& f, const std::string& note = "") {
    f();  // the counts are known, the buffers made
    const AllocCounts c = CountAllocs(n, f);
    Extras()[name] = {static_cast<double>(c.plugin) / n, static_cast<double>(c.host) / n, note};
}

const std::uint8_t* Info(const bench::Answer& a) { return a.decoded.data() + frame::kBufInfo; }
int InfoLength(const bench::Answer& a) { return static_cast<int>(a.decoded.size() - frame::kBufInfo); }

const bench::Answer& Full(std::uint8_t cid1, std::uint8_t cid2) { return *TheRig().full.For(cid1, cid2); }

// --- decoders: each gets what the bus device hands it in a round -------------

template <typename F>
void Decoder(benchmark::State& state, const std::string& name, F&& parse) {
    Record(name, 100, [&] { benchmark::DoNotOptimize(parse()); });
    for (auto _ : state) benchmark::DoNotOptimize(parse());
}

void BM_AC_parse40_41(benchmark::State& state) {
    const auto& a = Full(0x40, 0x41);
    auto& dev = *TheRig().ac[0];
    Decoder(state, "AC parse40_41 (3 channels)", [&] { return dev.parse40_41(Info(a) + 1, InfoLength(a) - 1); });
}
void BM_AC_parse40_44(benchmark::State& state) {
    const auto& a = Full(0x40, 0x44);
    auto& dev = *TheRig().ac[0];
    Decoder(state, "AC parse40_44 (3 channels)", [&] { return dev.parse40_44(Info(a) + 1, InfoLength(a) - 1); });
}
void BM_DC_parse42_41(benchmark::State& state) {
    const auto& a = Full(0x42, 0x41);
    auto& dev = *TheRig().dc[0];
    Decoder(state, "DC parse42_41", [&] { return dev.parse42_41(Info(a) + 2, InfoLength(a) - 2); });
}
void BM_DC_parse42_44(benchmark::State& state) {
    const auto& a = Full(0x42, 0x44);
    auto& dev = *TheRig().dc[0];
    Decoder(state, "DC parse42_44", [&] { return dev.parse42_44(Info(a) + 2, InfoLength(a) - 2); });
}
void BM_RC_parse41_41(benchmark::State& state) {
    const auto& a = Full(0x41, 0x41);
    auto& dev = *TheRig().rc;
    Decoder(state, "RC parse41_41 (12 modules)", [&] { return dev.parse41_41(Info(a), InfoLength(a)); });
}
void BM_RC_parse41_43(benchmark::State& state) {
    const auto& a = Full(0x41, 0x43);
    auto& dev = *TheRig().rc;
    Decoder(state, "RC parse41_43 (12 modules)", [&] { return dev.parse41_43(Info(a), InfoLength(a)); });
}
void BM_RC_parse41_44(benchmark::State& state) {
    const auto& a = Full(0x41, 0x44);
    auto& dev = *TheRig().rc;
    Decoder(state, "RC parse41_44 (12 modules)", [&] { return dev.parse41_44(Info(a), InfoLength(a)); });
}
void BM_RC_parse40_46(benchmark::State& state) {
    const auto& a = Full(0x40, 0x46);
    auto& dev = *TheRig().rc;
    Decoder(state, "RC parse40_46", [&] { return dev.parse40_46(Info(a), InfoLength(a)); });
}
void BM_RC_parse42_46(benchmark::State& state) {
    const auto& a = Full(0x42, 0x46);
    auto& dev = *TheRig().rc;
    Decoder(state, "RC parse42_46", [&] { return dev.parse42_46(Info(a), InfoLength(a)); });
}

// --- whole rounds ---------------------------------------------------------------

// full: data-valid 0, so every request of the round is made (9 answers);
// steady: data-valid 1 and no DATAFLAG bit, the rounds of a quiet plant.
void Round(benchmark::State& state, bool full, HostWork work) {
    Rig& rig = TheRig();
    const bench::AnswerSet& answers = full ? rig.full : rig.steady;
    const std::uint8_t valid = full ? 0 : 1;
    rig.bus->SetDataValid(valid);
    const std::string name = std::string("round ") + (full ? "full" : "steady") +
                             (work == HostWork::kNone ? ", host work excluded" : ", host as built");

    // Allocations: with the host's threshold and history calls running, so
    // that the plug-in's blocks are told from the host's.
    bench::SetHostWork(HostWork::kReal);
    const bench::RoundStats wire = rig.MeasuredRound(answers);
    rig.bus->SetDataValid(valid);
    const std::uint64_t logsBefore = rig.ctl->logs;
    const std::uint64_t wrappedBefore = bench::WrappedCalls();
    const AllocCounts c = CountAllocs(50, [&] {
        rig.Round(answers);
        rig.bus->SetDataValid(valid);
    });
    if (bench::WrappedCalls() == wrappedBefore) {
        state.SkipWithError("the host's threshold calls are not wrapped");
        return;
    }
    if (rig.ctl->logs != logsBefore) {
        state.SkipWithError("the round logged protocol errors");
        return;
    }

    bench::SetHostWork(work);
    int answered = 0;
    for (auto _ : state) {
        answered = rig.Round(answers);
        rig.bus->SetDataValid(valid);
    }
    bench::SetHostWork(HostWork::kNone);

    const double wireMs = (wire.requestBytes + wire.answerBytes) * kBitsPerByte / kBaud * 1e3;
    std::ostringstream note;
    note << answered << " answers, " << wire.requestBytes << "+" << wire.answerBytes << " bytes, wire "
         << wireMs << " ms at 9600, " << (rig.ac.size() + rig.dc.size() + 1) << " children";
    Extras()[name] = {c.plugin / 50.0, c.host / 50.0, note.str()};
    state.counters["wire_ms"] = wireMs;
    state.counters["plugin_allocs"] = c.plugin / 50.0;
}

void BM_RoundFull(benchmark::State& s) { Round(s, true, HostWork::kNone); }
void BM_RoundSteady(benchmark::State& s) { Round(s, false, HostWork::kNone); }
void BM_RoundFullHostAsBuilt(benchmark::State& s) { Round(s, true, HostWork::kReal); }

// --- signal lookup ----------------------------------------------------------------

void Lookup(benchmark::State& state, const std::string& caseName, const std::string& signal) {
    Rig& rig = TheRig();
    rig.bus->SetDataValid(0);
    rig.Round(rig.full);  // data valid and fresh
    auto& dev = *rig.ac[0];
    const std::uint32_t id = dev.DataId();
    Record(caseName, 100, [&] { benchmark::DoNotOptimize(dev.Get_Value(id, signal)); });
    for (auto _ : state) benchmark::DoNotOptimize(dev.Get_Value(id, signal));
}
void BM_GetValuePanel(benchmark::State& s) { Lookup(s, "Get_Value panel \"ia\"", "ia"); }
void BM_GetValueChannel(benchmark::State& s) { Lookup(s, "Get_Value channel \"channel_1_b\"", "channel_1_b"); }

// --- the host's frame codec ---------------------------------------------------------

void BM_EncodeRequest(benchmark::State& state) {
    const std::uint8_t group = 0xFF;
    auto encode = [&] { return frame::EncodeRequest(0x21, 1, 0x40, 0x41, &group, 1); };
    // The frame codec is the host's: its blocks count as the host's.
    Record("frame encode (40_41 request)", 100, [&] {
        bench::HostScope host;
        benchmark::DoNotOptimize(encode());
    });
    for (auto _ : state) benchmark::DoNotOptimize(encode());
}

void BM_DecodeFrame(benchmark::State& state) {
    const std::string& wire = Full(0x41, 0x41).frame;
    frame::FrameDecoder dec;
    std::vector<frame::DecodeEvent> events;
    events.reserve(4);
    auto decode = [&] {
        events.clear();
        dec.Feed(reinterpret_cast<const std::uint8_t*>(wire.data()), wire.size(), events);
        if (events.size() != 1 || !events[0].ok) std::abort();
    };
    Record("frame decode (41_41 answer, " + std::to_string(wire.size()) + " bytes)", 100, [&] {
        bench::HostScope host;
        decode();
    });
    for (auto _ : state) decode();
}

// --- output ------------------------------------------------------------------------

// Google Benchmark's console output, plus the figures of each case for --tsv.
class Reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        // CPU time of the process: the plug-in's cost, whatever else the
        // machine runs meanwhile. With repetitions the median is kept.
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            const std::string name = r.run_name.function_name;
            if (r.run_type == Run::RT_Iteration && median_.count(name) == 0)
                ns_[name] = r.GetAdjustedCPUTime();
            else if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                ns_[name] = r.GetAdjustedCPUTime();
                median_[name] = true;
            }
        }
    }
    const std::map<std::string, double>& Times() const { return ns_; }

private:
    std::map<std::string, double> ns_;
    std::map<std::string, bool> median_;
};

struct Case {
    const char* bm;
    void (*fn)(benchmark::State&);
    std::string name;  // as recorded in Extras()
};

std::vector<Case> Cases() {
    return {
        {"BM_AC_parse40_41", BM_AC_parse40_41, "AC parse40_41 (3 channels)"},
        {"BM_AC_parse40_44", BM_AC_parse40_44, "AC parse40_44 (3 channels)"},
        {"BM_DC_parse42_41", BM_DC_parse42_41, "DC parse42_41"},
        {"BM_DC_parse42_44", BM_DC_parse42_44, "DC parse42_44"},
        {"BM_RC_parse41_41", BM_RC_parse41_41, "RC parse41_41 (12 modules)"},
        {"BM_RC_parse41_43", BM_RC_parse41_43, "RC parse41_43 (12 modules)"},
        {"BM_RC_parse41_44", BM_RC_parse41_44, "RC parse41_44 (12 modules)"},
        {"BM_RC_parse40_46", BM_RC_parse40_46, "RC parse40_46"},
        {"BM_RC_parse42_46", BM_RC_parse42_46, "RC parse42_46"},
        {"BM_RoundFull", BM_RoundFull, "round full, host work excluded"},
        {"BM_RoundSteady", BM_RoundSteady, "round steady, host work excluded"},
        {"BM_RoundFullHostAsBuilt", BM_RoundFullHostAsBuilt, "round full, host as built"},
        {"BM_GetValuePanel", BM_GetValuePanel, "Get_Value panel \"ia\""},
        {"BM_GetValueChannel", BM_GetValueChannel, "Get_Value channel \"channel_1_b\""},
        {"BM_EncodeRequest", BM_EncodeRequest, "frame encode (40_41 request)"},
        {"BM_DecodeFrame", BM_DecodeFrame, ""},
    };
}

}  // namespace

// One round for callgrind's --toggle-collect=pmb_bench_one_round.
extern "C" __attribute__((noinline)) int pmb_bench_one_round(Rig* rig, const bench::AnswerSet* answers) {
    return rig->Round(*answers);
}

int main(int argc, char** argv) {
    std::string tsv, oneRound;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--tsv=", 6) == 0)
            tsv = argv[i] + 6;
        else if (std::strncmp(argv[i], "--one-round=", 12) == 0)
            oneRound = argv[i] + 12;
        else
            args.push_back(argv[i]);
    }

    // The plug-in writes trace lines to standard output (40_41, 42_41); they
    // go to /dev/null, the report to the real standard output.
    std::cout.flush();
    std::fflush(stdout);
    const int realOut = ::dup(1);
    const int null = ::open("/dev/null", O_WRONLY);
    if (realOut < 0 || null < 0 || ::dup2(null, 1) < 0) {
        std::perror("bench: standard output");
        return 2;
    }
    ::close(null);
    std::ofstream out("/proc/self/fd/" + std::to_string(realOut));

    try {
        Rig& rig = TheRig();
        if (!oneRound.empty()) {
            const bool full = oneRound == "full";
            if (!full && oneRound != "steady") {
                std::cerr << "bench: --one-round=full|steady\n";
                return 2;
            }
            const bench::AnswerSet& answers = full ? rig.full : rig.steady;
            const std::uint8_t valid = full ? 0 : 1;
            for (int i = 0; i < 5; ++i) {
                rig.bus->SetDataValid(valid);
                rig.Round(answers);
            }
            rig.bus->SetDataValid(valid);
            const int n = pmb_bench_one_round(&rig, &answers);
            out << "one " << oneRound << " round: " << n << " answers\n";
            return 0;
        }
    } catch (const std::exception& e) {
        std::cerr << "bench: " << e.what() << "\n";
        return 1;
    }

    const std::vector<Case> cases = Cases();
    for (const Case& c : cases) benchmark::RegisterBenchmark(c.bm, c.fn)->Unit(benchmark::kNanosecond);
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 2;
    Reporter reporter;
    reporter.SetOutputStream(&out);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    if (!tsv.empty()) {
        std::ofstream t(tsv);
        for (const Case& c : cases) {
            auto time = reporter.Times().find(c.bm);
            if (time == reporter.Times().end()) continue;
            std::string name = c.name;
            if (name.empty())
                for (const auto& e : Extras())
                    if (e.first.rfind("frame decode", 0) == 0) name = e.first;
            const Extra& x = Extras()[name];
            t << name << '\t' << time->second << '\t' << x.plugin << '\t' << x.host << '\t' << x.note << '\n';
        }
    }
    return 0;
}
