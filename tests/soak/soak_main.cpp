// Soak of the tvr27pk bus device: many rounds through a host that keeps
// nothing it is given, against a realistic plant (2 AC units of 3 channels,
// 2 DC units, 12 rectifier modules) whose values and alarm states drift and
// whose change flags vary from round to round, with one fault in every
// hundred answers (lost answer, bad checksum, wrong CID1, cut INFO, error
// RTN, line noise). Answers travel as frames through the host's decoder.
//
// It fails (exit 1) when
//   - a round does not end within a bound of exchanges (a lost round): a
//     fault may only cost the exchange it spoiled;
//   - a round end does not publish every child once, or its work items do
//     not save each child's image with the right length;
//   - after a round without faults the devices do not answer the values
//     the plant sent;
//   - the live heap blocks grow after the warm-up (checked every 1000 rounds
//     at the same point of the cycle).
//
// The work items run after each round on the polling thread, or with
// --worker (builds with the host runtime) on the runtime's worker thread
// while the next rounds go on, as the host runtime runs them; that mode is
// the one run under ThreadSanitizer.
//
//   pmb_soak [--rounds N] [--seed S] [--quiet] [--worker]
#include "bus/bus_models.h"
#include "host/frame_codec.h"
#include "host/vnq_controller.h"
#include "tests/soak/live_heap.h"
#include "tools/sim/info_builder.h"
#include "tools/sim/plant.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/value.h>
#ifdef PMB_SOAK_WORKER
#include "tools/runtime/worker.h"
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using sim::Bytes;

constexpr int kAcUnits = 2;
constexpr int kChannels = 3;
constexpr int kDcUnits = 2;
constexpr int kModules = 12;
constexpr int kChildren = kAcUnits + kDcUnits + 1;
constexpr int kFaultEvery = 100;     // one fault per this many answers, on average
constexpr int kMaxExchanges = 40;    // a round needs at most 9 answers plus one per fault
constexpr int kCheckEvery = 1000;    // rounds between heap checks

// --- a host that keeps nothing ------------------------------------------------

class SoakController : public VNQController {
public:
    void Log(const std::string&) override { ++logs; }
    void Request(PMBusProtocol&, std::uint8_t c1, std::uint8_t c2, const std::uint8_t*, int) override {
        cid1 = c1;
        cid2 = c2;
        ++requests;
    }
    void ExchangeReset(VNQSPDevice&) override { ++resets; }
    bool LinkReady(VNQSPDevice&) override { return true; }
    void Publish(VNQVDevice&, int type, const std::uint8_t*, unsigned, bool) override {
        ++published;
        if (type == kRcTypeNumber) ++roundsEnded;
    }
    // Called by the work items, on the worker thread with --worker.
    void SaveHistory(VNQVDevice& dev, const std::uint8_t*, unsigned length) override {
        ++saved;
        const std::string& t = dev.DeviceType();
        const unsigned want = t == "tvr27pk-ac"   ? 32u + 30u * kChannels
                              : t == "tvr27pk-dc" ? 166u
                                                  : 65u + 32u * kModules;
        if (length != want) ++badImages;
    }
    void RuleReported(VNQVDevice&, const rule_value&) override { ++rules; }
    void AlarmChanged(const AlarmEvent&) override { ++alarmEvents; }
    // Work items run later: after the round, or on the worker thread.
    void Submit(std::function<void()> work) override {
#ifdef PMB_SOAK_WORKER
        if (worker) return worker->Post(std::move(work));
#endif
        queued.push_back(std::move(work));
    }
    void RunQueued() {
        for (auto& w : queued) w();
        queued.clear();
    }
    // Waits until every work item handed over so far has run.
    void Drain() {
#ifdef PMB_SOAK_WORKER
        if (worker) worker->Drain();
#endif
        RunQueued();
    }

    std::uint8_t cid1 = 0, cid2 = 0;
    std::uint64_t requests = 0, resets = 0, published = 0, roundsEnded = 0;
    // Word-sized: lock-free on a 32-bit target without libatomic.
    std::atomic<std::size_t> saved{0}, badImages{0}, logs{0}, rules{0}, alarmEvents{0};
    std::vector<std::function<void()>> queued;
#ifdef PMB_SOAK_WORKER
    rt::Worker* worker = nullptr;
#endif
};

// --- the plant ----------------------------------------------------------------

class Random {
public:
    explicit Random(std::uint64_t seed) : s_(seed ? seed : 1) {}
    std::uint64_t Next() {  // xorshift64*
        s_ ^= s_ >> 12;
        s_ ^= s_ << 25;
        s_ ^= s_ >> 27;
        return s_ * 2685821657736338717ull;
    }
    unsigned Below(unsigned n) { return static_cast<unsigned>(Next() % n); }
    float Step(float spread) { return spread * (static_cast<float>(Below(2001)) / 1000.0f - 1.0f); }

private:
    std::uint64_t s_;
};

sim::Value4 V(float f) { return {f, false}; }

sim::Plant MakePlant() {
    sim::Plant p;
    p.model_text = "tvr27pk";
    for (int u = 0; u < kAcUnits; ++u) {
        sim::AcUnit unit;
        for (int c = 0; c < kChannels; ++c) {
            sim::AcChannel ch;
            ch.a = V(230.0f);
            ch.b = V(231.0f);
            ch.c = V(229.0f);
            ch.f = V(50.0f);
            ch.user_alarms.assign(tele_c_qzl4200_ac_channel::p40_44_SIZE(), 0);
            unit.channels.push_back(ch);
        }
        unit.currents = {V(40.0f), V(41.0f), V(39.0f)};
        unit.status.assign(tele_c_qzl4200_ac::P40_43_SIZE(), 0);
        p.ac.push_back(unit);
    }
    for (int u = 0; u < kDcUnits; ++u) {
        sim::DcUnit d;
        d.v = V(53.5f);
        d.i = V(120.0f);
        d.m_values = {V(10.0f), V(11.0f), V(12.0f), V(13.0f)};
        d.n_values.assign(9, V(25.0f));
        d.user = {V(1.0f), V(2.0f), V(3.0f)};
        d.alarms.assign(tele_c_qzl4200_dc::ALERT_M_SIZE(), 0);
        d.user_alarms.assign(tele_c_qzl4200_dc::ALERT_P_SIZE(), 0);
        p.dc.push_back(d);
    }
    p.rc.group_value = V(53.5f);
    for (int k = 0; k < kModules; ++k) {
        sim::RcModule m;
        m.value = V(30.0f);
        m.user.assign(tele_c_qzl4200_rc_channel::P41_41_SIZE(), V(1.0f));
        m.user_state.assign(tele_c_qzl4200_rc_channel::P41_43_SIZE(), 0);
        m.user_alarms.assign(tele_c_qzl4200_rc_channel::P41_44_SIZE(), 0);
        p.rc.modules.push_back(m);
    }
    for (auto& v : p.params.p40_46) v = V(100.0f);
    for (auto& v : p.params.p42_46) v = V(50.0f);
    p.params.p42_46_user.assign(tele_c_qzl4200_rc::P42_46_NUMBER(), V(5.0f));
    return p;
}

// Values drift, alarm states and the odd invalid marker come and go.
void Drift(sim::Plant& p, Random& r) {
    for (auto& unit : p.ac) {
        for (auto& ch : unit.channels) {
            for (sim::Value4* v : {&ch.a, &ch.b, &ch.c}) v->value += r.Step(2.0f);
            ch.f.value = 50.0f + r.Step(0.3f);
            ch.b.invalid = r.Below(500) == 0;
            if (r.Below(50) == 0) ch.alarms[r.Below(4)] = static_cast<std::uint8_t>(r.Below(4));
        }
        for (auto& i : unit.currents) i.value = 40.0f + r.Step(10.0f);
        if (r.Below(50) == 0) unit.current_alarms[r.Below(3)] = static_cast<std::uint8_t>(r.Below(3));
    }
    for (auto& d : p.dc) {
        d.v.value = 53.5f + r.Step(1.0f);
        d.i.value = 120.0f + r.Step(40.0f);
        if (r.Below(50) == 0) d.v_alert = static_cast<std::uint8_t>(r.Below(3));
        if (r.Below(50) == 0) d.alarms[r.Below(64)] = r.Below(2) ? 3 : 0;
    }
    for (auto& m : p.rc.modules) {
        m.value.value = 30.0f + r.Step(5.0f);
        if (r.Below(200) == 0) m.fault = static_cast<std::uint8_t>(r.Below(2));
    }
}

Bytes InfoFor(const sim::Plant& p, std::uint8_t cid1, std::uint8_t cid2, std::uint8_t flag) {
    const sim::BuildOptions opt;  // tvr27pk layouts
    switch (cid1 << 8 | cid2) {
        case 0x4051: return sim::Info40_51(p);
        case 0x4041: return sim::Info40_41(p, opt, flag);
        case 0x4043: return sim::Info40_43(p, opt, flag);
        case 0x4044: return sim::Info40_44(p, opt, flag);
        case 0x4141: return sim::Info41_41(p, flag);
        case 0x4143: return sim::Info41_43(p, flag);
        case 0x4144: return sim::Info41_44(p, flag);
        case 0x4241: return sim::Info42_41(p, opt, flag);
        case 0x4244: return sim::Info42_44(p, opt, flag);
        case 0x4046: return sim::Info40_46(p);
        case 0x4246: return sim::Info42_46(p);
        default: throw std::logic_error("request outside the command set");
    }
}

// --- faults -------------------------------------------------------------------

enum Fault { kNone, kDrop, kChecksum, kWrongCid1, kCut, kErrorRtn, kNoise, kFaultKinds };
const char* const kFaultNames[] = {"none", "lost answer", "bad checksum", "wrong CID1", "cut INFO", "error RTN",
                                   "line noise"};

// The wire bytes of the answer, spoiled by the fault; empty for a lost answer.
std::string Wire(std::uint8_t cid1, const Bytes& info, Fault f, Random& r) {
    switch (f) {
        case kDrop: return {};
        case kChecksum: {
            std::string s = frame::EncodeFrame(0x21, 1, cid1, 0, info.data(), info.size());
            char& c = s[s.size() - 2];  // last checksum digit
            c = c == '0' ? '1' : '0';
            return s;
        }
        case kWrongCid1: return frame::EncodeFrame(0x21, 1, static_cast<std::uint8_t>(cid1 == 0x42 ? 0x40 : cid1 + 1), 0,
                                                   info.data(), info.size());
        case kCut: return frame::EncodeFrame(0x21, 1, cid1, 0, info.data(), info.size() / 2);
        case kErrorRtn: return frame::EncodeFrame(0x21, 1, cid1, 0x06, nullptr, 0);
        case kNoise: {
            std::string s(8 + r.Below(16), '\0');
            for (char& c : s) c = static_cast<char>(0x30 + r.Below(0x40));  // never '~'
            return s + frame::EncodeFrame(0x21, 1, cid1, 0, info.data(), info.size());
        }
        default: return frame::EncodeFrame(0x21, 1, cid1, 0, info.data(), info.size());
    }
}

// --- the run ------------------------------------------------------------------

struct Options {
    long rounds = 100000;
    std::uint64_t seed = 20240601;
    bool quiet = false;
    bool worker = false;
};

Options Parse(int argc, char** argv) {
    Options o;
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        if (a == "--rounds" && k + 1 < argc)
            o.rounds = std::strtol(argv[++k], nullptr, 10);
        else if (a == "--seed" && k + 1 < argc)
            o.seed = std::strtoull(argv[++k], nullptr, 10);
        else if (a == "--quiet")
            o.quiet = true;
#ifdef PMB_SOAK_WORKER
        else if (a == "--worker")
            o.worker = true;
#endif
        else
            throw std::invalid_argument("usage: pmb_soak [--rounds N] [--seed S] [--quiet] [--worker]");
    }
    if (o.rounds < 1) throw std::invalid_argument("--rounds must be at least 1");
    return o;
}

// Values are copied as they stand: compare their bit patterns.
std::uint32_t Bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}
bool SameBits(float a, float b) { return Bits(a) == Bits(b); }

int Run(const Options& opt) {
    auto ctl = std::make_shared<SoakController>();
#ifdef PMB_SOAK_WORKER
    std::unique_ptr<rt::Worker> worker;
    if (opt.worker) {
        worker = std::make_unique<rt::Worker>();
        ctl->worker = worker.get();
    }
#endif
    auto bus = std::make_shared<tvr27pk>();
    bus->Init(ctl, 7, Json::Value(Json::objectValue));
    Json::Value config(Json::objectValue);
    for (int u = 0; u < kAcUnits; ++u) config["acSetting"][u]["data_id"] = 11 + u;
    for (int u = 0; u < kDcUnits; ++u) config["dcSetting"][u]["data_id"] = 21 + u;
    config["rcSetting"] = Json::Value(Json::objectValue);
    if (!bus->InitSetting(config)) throw std::runtime_error("configuration refused");
    std::vector<std::shared_ptr<VNQVDevice>> children = bus->GetAllChildVDevices();
    for (const auto& c : children)
        if (auto* ac = dynamic_cast<tvr27pkAC*>(c.get())) ac->SetTraceStream(nullptr);
    // The DC decoder's trace line goes to stdout: keep it out of the report.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) throw std::runtime_error("/dev/null");

    Random r(opt.seed);
    sim::Plant plant = MakePlant();
    const auto past = boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(10);
    std::uint64_t answers = 0, exchanges = 0, retries = 0, lost = 0, compared = 0, wrongValues = 0;
    std::uint64_t faults[kFaultKinds] = {};
    const long warmup = std::max(100L, std::min(1000L, opt.rounds / 10));
    soak::HeapCount atWarmup{0, 0, 0};
    std::uint64_t maxLive = 0, grew = 0;
    const auto t0 = std::chrono::steady_clock::now();

    for (long round = 0; round < opt.rounds; ++round) {
        Drift(plant, r);
        // New data is announced now and then; the data is valid after the first round.
        const std::uint8_t flags[] = {0x00, 0x00, 0x01, 0x10, 0x11};
        const std::uint8_t flag = flags[r.Below(5)];
        const std::uint64_t endedBefore = ctl->roundsEnded;
        bool faulty = false;
        int n = 0;
        bus->SetLastUpdate(past);
        bus->RefreshStatus();
        while (ctl->roundsEnded == endedBefore) {
            if (++n > kMaxExchanges) {
                ++lost;
                break;
            }
            ++exchanges;
            const std::uint64_t requestsBefore = ctl->requests;
            const Fault f = r.Below(kFaultEvery) == 0 ? static_cast<Fault>(1 + r.Below(kFaultKinds - 1)) : kNone;
            ++faults[f];
            faulty = faulty || f != kNone;
            ++answers;
            const std::string wire = Wire(ctl->cid1, InfoFor(plant, ctl->cid1, ctl->cid2, flag), f, r);
            bus->process(reinterpret_cast<const unsigned char*>(wire.data()), static_cast<unsigned>(wire.size()));
            if (ctl->roundsEnded != endedBefore || ctl->requests != requestsBefore) continue;
            // Not taken: the host asks again, as its answer timeout would.
            ++retries;
            bus->FlushReceiver();
            bus->SetLastUpdate(past);
            bus->RefreshStatus();
        }
        ctl->RunQueued();

        bus->SetDataValid(1);

        if (!faulty && ctl->roundsEnded != endedBefore) {
            ++compared;
            const auto* ac = dynamic_cast<const tvr27pkAC*>(children[1].get());
            const auto* dc = dynamic_cast<const tvr27pkDC*>(children[kAcUnits + 1].get());
            const sim::AcChannel& ch = plant.ac[1].channels[2];
            bool ok = SameBits(ac->Get_Value(0, "channel_2_a"), ch.a.value) &&
                      SameBits(ac->Get_Value(0, "ic"), plant.ac[1].currents[2].value) &&
                      SameBits(dc->Get_Value(0, "v"), plant.dc[1].v.value);
            const float b = ac->Get_Value(0, "channel_2_b");
            ok = ok && SameBits(b, ch.b.invalid ? 0.0f : ch.b.value);
            if (!ok) ++wrongValues;
        }

        // With the worker the heap is read only once its items have run.
        const bool checkpoint = round + 1 == warmup || (round + 1 > warmup && (round + 1) % kCheckEvery == 0);
        if (opt.worker && !checkpoint) continue;
        if (opt.worker) ctl->Drain();
        const soak::HeapCount h = soak::Heap();
        if (round + 1 == warmup) atWarmup = h;
        if (round + 1 > warmup) {
            maxLive = std::max<std::uint64_t>(maxLive, h.live_blocks);
            if (checkpoint && h.live_blocks > atWarmup.live_blocks) ++grew;
        }
    }
    ctl->Drain();
    const soak::HeapCount end = soak::Heap();
    if (end.live_blocks > atWarmup.live_blocks) ++grew;
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    const std::uint64_t faultCount = answers - faults[kNone];
    const bool published = ctl->published == ctl->roundsEnded * kChildren &&
                           ctl->saved == ctl->roundsEnded * kChildren && ctl->badImages == 0;
    // Every retry is explained by a fault (a fault may still be taken, e.g. noise).
    const bool explained = retries <= faultCount;
    const bool pass = lost == 0 && ctl->roundsEnded == static_cast<std::uint64_t>(opt.rounds) && published &&
                      explained && wrongValues == 0 && grew == 0;

    std::fprintf(stderr,
                 "pmb_soak: %ld rounds in %.1f s (%.0f rounds/s), seed %llu, work items %s\n"
                 "  answers %llu, exchanges %llu, faults %llu, retries %llu, lost rounds %llu\n",
                 opt.rounds, secs, static_cast<double>(opt.rounds) / secs,
                 static_cast<unsigned long long>(opt.seed), opt.worker ? "on the worker thread" : "after each round",
                 static_cast<unsigned long long>(answers),
                 static_cast<unsigned long long>(exchanges), static_cast<unsigned long long>(faultCount),
                 static_cast<unsigned long long>(retries), static_cast<unsigned long long>(lost));
    if (!opt.quiet) {
        std::fprintf(stderr, "  faults:");
        for (int k = 1; k < kFaultKinds; ++k)
            std::fprintf(stderr, " %s %llu;", kFaultNames[k], static_cast<unsigned long long>(faults[k]));
        std::fprintf(stderr, "\n");
    }
    std::fprintf(stderr,
                 "  rounds ended %llu, snapshots published %llu, images saved %llu (wrong length %llu), rules %llu,"
                 " alarm events %llu, log lines %llu\n"
                 "  fault-free rounds compared with the plant %llu, wrong values %llu\n"
                 "  heap: live blocks after warm-up (round %ld) %llu (%llu bytes), at the end %llu (%llu bytes),"
                 " most after warm-up %llu; %llu allocations in all (%.1f per round); growth seen %llu\n"
                 "pmb_soak: %s\n",
                 static_cast<unsigned long long>(ctl->roundsEnded), static_cast<unsigned long long>(ctl->published),
                 static_cast<unsigned long long>(ctl->saved.load()), static_cast<unsigned long long>(ctl->badImages.load()),
                 static_cast<unsigned long long>(ctl->rules.load()), static_cast<unsigned long long>(ctl->alarmEvents.load()),
                 static_cast<unsigned long long>(ctl->logs.load()), static_cast<unsigned long long>(compared),
                 static_cast<unsigned long long>(wrongValues), warmup,
                 static_cast<unsigned long long>(atWarmup.live_blocks),
                 static_cast<unsigned long long>(atWarmup.live_bytes), static_cast<unsigned long long>(end.live_blocks),
                 static_cast<unsigned long long>(end.live_bytes), static_cast<unsigned long long>(maxLive),
                 static_cast<unsigned long long>(end.allocations),
                 static_cast<double>(end.allocations) / static_cast<double>(opt.rounds),
                 static_cast<unsigned long long>(grew), pass ? "PASS" : "FAIL");
    if (end.allocations == 0)
        std::fprintf(stderr, "  (heap counts inactive: operator new replaced from outside, e.g. by valgrind,"
                             " whose own leak check then applies)\n");
    return pass ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(Parse(argc, argv));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pmb_soak: %s\n", e.what());
        return 2;
    }
}
