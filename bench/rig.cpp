#include "bench/rig.h"

#include "host/frame_codec.h"
#include "tools/sim/command_set.h"
#include "tools/sim/scenario.h"

#include <json/reader.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef PMB_BENCH_DIR
#error "PMB_BENCH_DIR names the folder with plant.json and site.json"
#endif

namespace bench {
namespace {

// The requests a tvr27pk bus device makes, in the order of a full round.
constexpr std::uint8_t kCommands[][2] = {{0x40, 0x51}, {0x40, 0x41}, {0x40, 0x44}, {0x41, 0x41},
                                         {0x41, 0x43}, {0x41, 0x44}, {0x42, 0x41}, {0x42, 0x44},
                                         {0x40, 0x46}, {0x42, 0x46}};
constexpr std::uint8_t kVer = 0x21;
constexpr std::uint8_t kAdr = 1;

sim::Plant LoadPlant() {
    const sim::Scenario s = sim::LoadScenarioFile(std::string(PMB_BENCH_DIR) + "/plant.json");
    return sim::BuildPlant(s.doc);
}

Json::Value LoadSite() {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string err;
    std::istringstream in(ReadFile(std::string(PMB_BENCH_DIR) + "/site.json"));
    if (!Json::parseFromStream(b, in, &v, &err)) throw std::runtime_error("site.json: " + err);
    return v;
}

}  // namespace

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

AnswerSet::AnswerSet(const sim::Plant& plant, std::uint8_t dataflag) {
    sim::BuildOptions opt;
    opt.model = sim::Model::tvr27pk;
    for (const auto& c : kCommands) {
        const sim::Command* cmd = sim::FindCommand(c[0], c[1]);
        if (cmd == nullptr) throw std::runtime_error("the simulator has no answer builder for a request");
        const sim::Bytes info = cmd->info(plant, opt, dataflag);
        Answer a;
        a.cid1 = c[0];
        a.cid2 = c[1];
        const unsigned lenid = static_cast<unsigned>(info.size() * 2);
        a.decoded.assign(frame::kBufInfo + info.size(), 0);
        a.decoded[frame::kBufVer] = kVer;
        a.decoded[frame::kBufAdr] = kAdr;
        a.decoded[frame::kBufCid1] = c[0];
        a.decoded[frame::kBufLength] = static_cast<std::uint8_t>(lenid & 0xFF);
        a.decoded[frame::kBufLength + 1] = static_cast<std::uint8_t>(lenid >> 8);
        std::copy(info.begin(), info.end(), a.decoded.begin() + frame::kBufInfo);
        a.frame = frame::EncodeFrame(kVer, kAdr, c[0], 0, info.data(), info.size());
        answers_.push_back(std::move(a));
    }
}

Rig::Rig()
    : plant(LoadPlant()),
      full(plant, 0x11),
      steady(plant, 0x00),
      ctl(std::make_shared<BenchController>()),
      bus(std::make_shared<tvr27pk>()) {
    const Json::Value site = LoadSite();
    bus->Init(ctl, site["data_id"].asUInt(), site);
    if (!bus->InitSetting(site)) throw std::runtime_error("the bus device refused site.json");
    for (const auto& child : bus->GetAllChildVDevices()) {
        if (auto a = std::dynamic_pointer_cast<tvr27pkAC>(child)) ac.push_back(a);
        if (auto d = std::dynamic_pointer_cast<tvr27pkDC>(child)) dc.push_back(d);
        if (auto r = std::dynamic_pointer_cast<tvr27pkRC>(child)) rc = r;
    }
    if (ac.size() != 2 || dc.size() != 2 || !rc) throw std::runtime_error("site.json: 2 AC, 2 DC and the rectifiers");
    // The model check of the first refresh.
    bus->RefreshStatus();
    const Answer* model = full.For(ctl->lastCid1, ctl->lastCid2);
    if (model == nullptr || model->cid2 != 0x51) throw std::runtime_error("the first request is not 40_51");
    bus->DeliverAnswer(model->decoded.data(), static_cast<unsigned>(model->decoded.size()));
}

int Rig::Round(const AnswerSet& answers) {
    bus->RefreshStatus();
    for (int n = 1; n <= 32; ++n) {
        const Answer* a = answers.For(ctl->lastCid1, ctl->lastCid2);
        if (a == nullptr) throw std::runtime_error("a request without an answer");
        if (bus->DeliverAnswer(a->decoded.data(), static_cast<unsigned>(a->decoded.size())) == 0) return n;
    }
    throw std::runtime_error("the round does not end");
}

RoundStats Rig::MeasuredRound(const AnswerSet& answers) {
    RoundStats s;
    bus->RefreshStatus();
    for (int n = 1; n <= 32; ++n) {
        const Answer* a = answers.For(ctl->lastCid1, ctl->lastCid2);
        if (a == nullptr) throw std::runtime_error("a request without an answer");
        // The request as the host frames it.
        s.requestBytes += bus->EncodeRequest(a->cid1, a->cid2, ctl->lastInfo, ctl->lastLength).size();
        s.answerBytes += a->frame.size();
        s.answers = n;
        if (bus->DeliverAnswer(a->decoded.data(), static_cast<unsigned>(a->decoded.size())) == 0) return s;
    }
    throw std::runtime_error("the round does not end");
}

}  // namespace bench
