// InitSetting of both bus-device models with arbitrary JSON, then a round.
// Only the JSON library's own exceptions may leave InitSetting. A bus
// device that accepted its configuration has a rectifier child, and with a
// plant that matches its children, a round ends within the command set's
// answers: every child publishes once, its data becomes valid and the AC
// children answer their phase currents as sent. After a refused or broken
// configuration a round is still attempted and must not fail.
//
// Input: JSON text.
#include "fuzz/support/check.h"
#include "fuzz/support/poll_cycle.h"
#include "fuzz/support/rig.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/reader.h>
#include <json/value.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

// Answers past this are not a round any more.
constexpr int kMaxAnswers = 40;
constexpr std::size_t kMaxUnits = 16;

template <typename Bus, typename AC, typename DC>
void Run(const Json::Value& config, sim::Model model) {
    testhost::Host host;
    auto bus = std::make_shared<Bus>();
    bus->Init(host.ctl, 7, Json::Value(Json::objectValue));
    bool ok = false;
    bool broken = false;
    try {
        ok = bus->InitSetting(config);
    } catch (const Json::Exception&) {
        broken = true;  // the JSON library's own complaint: allowed through
    }

    std::size_t acs = 0, dcs = 0, rcs = 0;
    const auto all = bus->GetAllChildVDevices();
    for (const auto& c : all) {
        if (!c) continue;
        if (auto* a = dynamic_cast<AC*>(c.get())) {
            a->SetTraceStream(nullptr);
            ++acs;
        } else if (dynamic_cast<DC*>(c.get())) {
            ++dcs;
        } else {
            ++rcs;
        }
    }
    if (ok) FUZZ_CHECK(!broken && rcs == 1 && all.back() != nullptr, "accepted without a rectifier child");
    if (acs > kMaxUnits || dcs > kMaxUnits) return;

    const sim::Plant plant = rig::SamplePlant(static_cast<int>(acs), 2, static_cast<int>(dcs), 4, 3);
    bus->SetLastUpdate(boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(10));
    if (!bus->RefreshStatus()) return;
    const std::size_t children = acs + dcs + 1;
    bool ended = false;
    for (int k = 0; k < kMaxAnswers && !ended; ++k) {
        const testhost::Request req = host.ctl->requests.back();
        const rig::Bytes info = rig::InfoFor(plant, model, req.cid1, req.cid2, 0x11);
        const rig::Bytes buf = testhost::Answer(req.cid1, info);
        const std::size_t before = host.ctl->published.size();
        const std::size_t asked = host.ctl->requests.size();
        poll::counting = true;
        const int r = bus->DeliverAnswer(buf.data(), static_cast<unsigned>(buf.size()));
        poll::counting = false;
        FUZZ_CHECK(r == 0 || r == 1, "process_payload result", r);
        ended = host.ctl->published.size() != before;
        if (!ended && host.ctl->requests.size() == asked) {
            // Not taken: a broken configuration may do that, a sound one must not.
            FUZZ_CHECK(!ok, "an answer built for the children was refused at step", req.step_after);
            return;
        }
    }
    if (!ok) return;
    FUZZ_CHECK(ended, "no round end within", kMaxAnswers, "answers");
    FUZZ_CHECK(host.ctl->published.size() == children, "children published", host.ctl->published.size());
    FUZZ_CHECK(bus->CommandStep() == 0, "step after the round end", bus->CommandStep());
    std::size_t unit = 0;
    for (const auto& c : all) {
        FUZZ_CHECK(c->DataValid() == 1, "child not valid after the round");
        if (dynamic_cast<AC*>(c.get()) == nullptr) continue;
        const float ia = c->Get_Value(0, "ia");
        const float sent = plant.ac[unit++].currents[0].value;
        FUZZ_CHECK(fuzz::SameBytes(&ia, &sent, 4), "ia of AC unit", unit - 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rig::QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value config;
    std::string err;
    const char* text = reinterpret_cast<const char*>(data);
    if (!reader->parse(text, text + size, &config, &err)) return 0;
    Run<tvr27pk, tvr27pkAC, tvr27pkDC>(config, sim::Model::tvr27pk);
    Run<QZL4200, QZL4200AC, QZL4200DC>(config, sim::Model::qzl4200);
    return 0;
}
