#pragma once
// The polling cycle of a bus-device model under a sequence of host events:
// RefreshStatus (paced or not, link ready or not), the host's data-valid
// byte, and answers in the response-buffer layout (CID1, length field, INFO)
// handed to process_payload through DeliverAnswer. After every event the
// target checks, with transition rules of its own written from the model's
// tables:
//   - the command step is always a step of the command set (never 1 for
//     tvr27pk);
//   - an answer moves the step only along a transition the table allows, to
//     the very step its DATAFLAG and the data-valid byte select, and sends
//     exactly that step's request (CID1, CID2, payload); one that does not
//     move it sends nothing;
//   - an answer with another CID1 than the outstanding request's is never
//     taken; result 0 only right after a reset;
//   - a round end (RoundDone on every child, AC, DC, rectifier order) comes
//     only from a step that may end a round, after every step the round
//     cannot skip, and leaves the step at 0;
//   - RefreshStatus sends exactly one request, the step's (40_51 until the
//     model answer), unless the link is not ready or the round spacing has
//     not passed (then nothing, refresh word 0);
//   - a buffer shorter than its length field never reaches process_payload;
//   - the base model waits once per answer, tvr27pk never.
//
// The 20 ms wait of the base model's process_payload goes through usleep,
// which the targets replace (PollSleeps): the wait is counted, not slept, so
// the base model is fuzzed at the same rate and with the same inputs as
// tvr27pk, and the count is itself checked.
//
// Input: [configuration] then events [op][...].
#include "bus/bus_models.h"
#include "fuzz/support/check.h"
#include "fuzz/support/input.h"
#include "fuzz/support/rig.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/value.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace poll {

// usleep calls made while an answer is handled (see the target files).
extern unsigned long sleeps;
extern bool counting;

constexpr std::uint32_t kEnd = 0xFFFFFFFFu;

struct Req {
    std::uint8_t cid1, cid2;
    bool groupByte;  // always; 7 and 8 carry it only at protocol version 0x21
};

// The request of every step; cid1 0 for values outside the command set.
inline Req RequestOf(std::uint32_t step) {
    switch (step) {
        case 14: return {0x40, 0x51, false};
        case 0: return {0x40, 0x41, true};
        case 1: return {0x40, 0x43, true};
        case 2: return {0x40, 0x44, true};
        case 4: return {0x41, 0x41, false};
        case 5: return {0x41, 0x43, false};
        case 6: return {0x41, 0x44, false};
        case 7: return {0x42, 0x41, true};
        case 8: return {0x42, 0x44, true};
        case 3: return {0x40, 0x46, false};
        case 9: return {0x42, 0x46, false};
        default: return {0, 0, false};
    }
}

struct Config {
    bool tvr;      // the tvr27pk table, else the base model's
    bool hasAc, hasDc;
};

struct Flags {
    bool invalid;       // data-valid byte not 1
    std::uint8_t info0; // DATAFLAG of the answer taken
    std::uint8_t ac;    // of the 40_41 answer taken in this round
    std::uint8_t rc;    // of the 41_41 answer taken in this round
};

// The step a taken answer of `step` leads to (kEnd: round end).
inline std::uint32_t NextStep(const Config& c, std::uint32_t step, const Flags& f) {
    const auto bit = [&](std::uint8_t flag, std::uint8_t mask) { return f.invalid || (flag & mask) != 0; };
    switch (step) {
        case 14: return c.hasAc ? 0 : 4;
        case 0:
            if (c.tvr) return bit(f.info0, 0x01) ? 2 : 4;
            return bit(f.info0, 0x10) ? 1 : bit(f.info0, 0x01) ? 2 : 4;
        case 1: return bit(f.ac, 0x01) ? 2 : 4;
        case 2: return 4;
        case 4:
            if (bit(f.info0, 0x10)) return 5;
            if ((f.info0 & 0x01) != 0) return 6;
            return (c.tvr || c.hasDc) ? 7 : kEnd;
        case 5:
            if (bit(f.rc, 0x01)) return 6;
            return (c.tvr || c.hasDc) ? 7 : kEnd;
        case 6: return (c.tvr || c.hasDc) ? 7 : kEnd;
        case 7:
            if (bit(f.info0, 0x11)) return 8;
            return c.hasAc ? 3 : 9;
        case 8: return c.hasAc ? 3 : 9;
        case 3: return 9;
        case 9: return kEnd;
        default: return step;
    }
}

// Steps no complete round can skip (the round's first step included).
inline std::set<std::uint32_t> Mandatory(const Config& c) {
    std::set<std::uint32_t> m{4};
    if (c.hasAc) m.insert(0);
    if (c.tvr || c.hasDc) {
        m.insert(7);
        m.insert(9);
        if (c.hasAc) m.insert(3);
    }
    return m;
}

template <typename Bus>
class Rig {
public:
    Rig(bool tvr, int acUnits, int dcUnits)
        : cfg_{tvr, acUnits > 0, dcUnits > 0}, ac_(acUnits), dc_(dcUnits), bus_(std::make_shared<Bus>()) {
        bus_->Init(host_.ctl, 7, Json::Value(Json::objectValue));
        Json::Value config(Json::objectValue);
        config["acSetting"] = Json::Value(Json::arrayValue);
        config["dcSetting"] = Json::Value(Json::arrayValue);
        for (int i = 0; i < acUnits; ++i) config["acSetting"][i]["data_id"] = 11 + i;
        for (int i = 0; i < dcUnits; ++i) config["dcSetting"][i]["data_id"] = 21 + i;
        config["rcSetting"] = Json::Value(Json::objectValue);
        FUZZ_CHECK(bus_->InitSetting(config), "configuration refused");
        for (const auto& c : bus_->GetAllChildVDevices()) {
            if (auto* a = dynamic_cast<tvr27pkAC*>(c.get())) a->SetTraceStream(nullptr);
            if (auto* a = dynamic_cast<QZL4200AC*>(c.get())) a->SetTraceStream(nullptr);
        }
        bus_->SetLastUpdate(Past());
    }

    void Run(fuzz::Input& in) {
        for (int events = 0; !in.Empty() && events < 256; ++events) {
            const std::uint8_t op = in.Byte();
            switch (op & 7) {
                case 0:
                case 1: Refresh((op & 8) != 0); break;
                case 2: bus_->SetDataValid((op >> 3) & 1); break;
                case 3: host_.ctl->link_ready = (op & 8) == 0; break;
                case 4: Malformed(in); break;
                default: Answer(op, in); break;
            }
            CheckStep();
        }
    }

private:
    static boost::posix_time::ptime Past() {
        return boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(10);
    }

    void CheckStep() const {
        const std::uint32_t s = bus_->CommandStep();
        FUZZ_CHECK(RequestOf(s).cid1 != 0, "command step outside the command set:", s);
        FUZZ_CHECK(!(cfg_.tvr && s == 1), "tvr27pk never holds step 1");
    }

    void CheckRequest(std::size_t before, std::uint32_t step) const {
        const auto& rs = host_.ctl->requests;
        FUZZ_CHECK(rs.size() == before + 1, "one request expected, got", rs.size() - before);
        const Req want = RequestOf(step);
        const testhost::Request& r = rs.back();
        FUZZ_CHECK(r.cid1 == want.cid1 && r.cid2 == want.cid2, "request for step", step, "is",
                   int(r.cid1), int(r.cid2));
        FUZZ_CHECK(r.step_after == step, "request sent at step", r.step_after, "for", step);
        bool group = want.groupByte;
        if (step == 7 || step == 8) group = bus_->ProtocolVersion() == 0x21;
        const std::vector<std::uint8_t> payload = group ? std::vector<std::uint8_t>{0xFF} : std::vector<std::uint8_t>{};
        FUZZ_CHECK(r.info == payload, "payload of step", step);
    }

    void Refresh(bool recent) {
        bus_->SetLastUpdate(recent ? boost::posix_time::second_clock::local_time() : Past());
        const std::uint32_t s = bus_->CommandStep();
        const std::size_t before = host_.ctl->requests.size();
        const bool ok = bus_->RefreshStatus();
        if (!host_.ctl->link_ready) {
            FUZZ_CHECK(!ok && host_.ctl->requests.size() == before, "request on a link that is not ready");
            return;
        }
        if (modelChecked_ && recent) {
            FUZZ_CHECK(!ok && host_.ctl->requests.size() == before, "round spacing not kept");
            FUZZ_CHECK(bus_->RefreshWord() == 0, "refresh word after a paced refusal");
            return;
        }
        FUZZ_CHECK(ok, "RefreshStatus refused on a ready link");
        std::uint32_t want = s;
        if (!modelChecked_)
            want = 14;
        else if (s == 0 && !cfg_.hasAc)
            want = 4;
        FUZZ_CHECK(bus_->CommandStep() == want, "RefreshStatus moved to", bus_->CommandStep(), "from", s);
        CheckRequest(before, want);
        if (want != s) visited_.clear();
    }

    // A buffer whose length field claims more INFO than it holds.
    void Malformed(fuzz::Input& in) {
        const std::uint8_t have = in.Byte() % 32;
        std::vector<std::uint8_t> buf(6 + have, 0);
        buf[2] = RequestOf(bus_->CommandStep()).cid1;
        const unsigned field = 2u * (have + 1u + in.Byte());
        buf[4] = static_cast<std::uint8_t>(field & 0xFF);
        buf[5] = static_cast<std::uint8_t>(field >> 8);
        const Snapshot b = Take();
        sleeps = 0;
        counting = true;
        const int r = bus_->DeliverAnswer(buf.data(), static_cast<unsigned>(buf.size()));
        counting = false;
        FUZZ_CHECK(r == -1, "short buffer handled");
        FUZZ_CHECK(Take().Same(b) && sleeps == 0, "short buffer reached process_payload");
    }

    struct Snapshot {
        std::uint32_t step;
        std::size_t requests, published;
        int resets;
        bool Same(const Snapshot& o) const {
            return step == o.step && requests == o.requests && published == o.published && resets == o.resets;
        }
    };
    Snapshot Take() const {
        return {bus_->CommandStep(), host_.ctl->requests.size(), host_.ctl->published.size(), host_.ctl->resets};
    }

    void Answer(std::uint8_t op, fuzz::Input& in) {
        const std::uint32_t s = bus_->CommandStep();
        const std::uint8_t cid1 = (op & 8) ? in.Byte() : RequestOf(s).cid1;
        const std::size_t len = (op & 0x10) ? in.Word() % 1024 : in.Byte();
        const std::vector<std::uint8_t> info = in.Bytes(len);
        std::vector<std::uint8_t> buf = testhost::Answer(cid1, info);
        buf[4] |= static_cast<std::uint8_t>((op >> 5) & 1);  // an odd length field halves the same

        const Snapshot b = Take();
        const bool invalid = bus_->DataValid() != 1;
        sleeps = 0;
        counting = true;
        const int r = bus_->DeliverAnswer(buf.data(), static_cast<unsigned>(buf.size()));
        counting = false;
        const Snapshot a = Take();

        FUZZ_CHECK(r == 0 || r == 1, "process_payload result", r);
        FUZZ_CHECK(sleeps == (cfg_.tvr ? 0u : 1u), "waits before the answer:", sleeps);
        const std::size_t children = ac_ + dc_ + 1;
        const bool ended = a.published != b.published;
        const bool moved = a.step != s;
        if (!ended && !moved) {
            FUZZ_CHECK(a.requests == b.requests, "request sent for an answer not taken, step", s);
            FUZZ_CHECK((r == 0) == (a.resets == b.resets + 1), "result 0 without a reset, or a reset with 1");
            FUZZ_CHECK(r == 1 || s == 0, "reset on a refused answer at step", s);
            return;
        }
        FUZZ_CHECK(cid1 == RequestOf(s).cid1, "answer with CID1", int(cid1), "taken at step", s);
        const Flags f{invalid, info.empty() ? std::uint8_t{0} : info[0], acFlag_, rcFlag_};
        const std::uint32_t want = NextStep(cfg_, s, f);
        if (s == 14) modelChecked_ = true;
        if (s == 0) acFlag_ = f.info0;
        if (s == 4) rcFlag_ = f.info0;
        if (s == 14) {
            visited_.clear();
        } else {
            if (visited_.empty()) first_ = s;
            visited_.insert(s);
        }
        if (ended) {
            FUZZ_CHECK(want == kEnd, "round ended at step", s, "where the table goes to", want);
            FUZZ_CHECK(a.published == b.published + children, "every child once at the round end");
            CheckRoundOrder(b.published);
            FUZZ_CHECK(a.step == 0 && r == 0 && a.resets == b.resets + 1 && a.requests == b.requests,
                       "round end: step", a.step, "result", r);
            for (std::uint32_t m : Mandatory(cfg_))
                FUZZ_CHECK(visited_.count(m) == 1, "round ended without step", m);
            FUZZ_CHECK(first_ == 0 || first_ == 4, "round began at step", first_);
            for (const auto& c : bus_->GetAllChildVDevices()) FUZZ_CHECK(c->DataValid() == 1, "child not valid");
            visited_.clear();
            return;
        }
        FUZZ_CHECK(a.step == want, "step", s, "went to", a.step, "not", want);
        FUZZ_CHECK(r == 1 && a.resets == b.resets, "taken answer result", r);
        CheckRequest(b.requests, a.step);
    }

    void CheckRoundOrder(std::size_t from) const {
        const auto& p = host_.ctl->published;
        std::size_t k = from;
        for (std::size_t i = 0; i < ac_; ++i, ++k) FUZZ_CHECK(p[k].type_number == 5106, "AC children first");
        for (std::size_t i = 0; i < dc_; ++i, ++k) FUZZ_CHECK(p[k].type_number == 5108, "DC children next");
        FUZZ_CHECK(p[k].type_number == 5107, "rectifier child last");
    }

    Config cfg_;
    std::size_t ac_, dc_;
    testhost::Host host_;
    std::shared_ptr<Bus> bus_;
    bool modelChecked_ = false;
    std::uint8_t acFlag_ = 0, rcFlag_ = 0;
    std::set<std::uint32_t> visited_;
    std::uint32_t first_ = 0;
};

// [configuration]: bits 0-1 AC units, 2-3 DC units.
template <typename Bus>
int RunTarget(const std::uint8_t* data, std::size_t size, bool tvr) {
    fuzz::Input in(data, size);
    const std::uint8_t cfg = in.Byte();
    Rig<Bus> rig(tvr, cfg & 3, (cfg >> 2) & 3);
    rig.Run(in);
    return 0;
}

}  // namespace poll
