// Writes the seed corpora of the fuzz targets into <dir>/<target>/: valid
// parts, answers, whole rounds, images, configurations, names and frames,
// built by the simulator's answer builders and the devices themselves. The
// seeds are kept in the repository; run this again when a layout changes:
//   build-fuzz/fuzz/fuzz_make_seeds fuzz/corpus
#include "bus/bus_models.h"
#include "fuzz/support/poll_cycle.h"
#include "fuzz/support/rig.h"
#include "host/frame_codec.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/value.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using rig::Bytes;

fs::path root;

void Write(const std::string& target, const std::string& name, const Bytes& b) {
    const fs::path dir = root / target;
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                                      static_cast<std::streamsize>(b.size()));
}
void Write(const std::string& target, const std::string& name, const std::string& s) {
    Write(target, name, Bytes(s.begin(), s.end()));
}

// One decoder op: [kind][length][bytes], the 16-bit length form for long parts.
void Op(Bytes& out, std::uint8_t kind, const Bytes& part) {
    if (part.size() > 255) {
        out.push_back(static_cast<std::uint8_t>(kind | 0x80));
        out.push_back(static_cast<std::uint8_t>(part.size() & 0xFF));
        out.push_back(static_cast<std::uint8_t>(part.size() >> 8));
    } else {
        out.push_back(kind);
        out.push_back(static_cast<std::uint8_t>(part.size()));
    }
    out.insert(out.end(), part.begin(), part.end());
}

void DecoderSeeds() {
    for (int channels = 1; channels <= 3; ++channels) {
        const sim::AcUnit u = rig::SamplePlant(1, channels, 0, 0, 40u + channels).ac[0];
        for (std::uint8_t setup : {std::uint8_t{0}, static_cast<std::uint8_t>(1 + 2 * (channels - 1))}) {
            Bytes s{setup};
            Op(s, 0, sim::AcPart40_41(u));
            Op(s, 1, sim::AcPart40_43(u));
            Op(s, 2, sim::AcPart40_44(u));
            Op(s, 3, {});
            Op(s, 0, sim::AcPart40_41(u));
            Write("ac_decoders", "round_" + std::to_string(channels) + "_" + std::to_string(setup), s);
        }
    }
    for (int k = 0; k < 3; ++k) {
        const sim::DcUnit u = rig::SamplePlant(0, 0, 1, 0, 50u + k).dc[0];
        Bytes s{static_cast<std::uint8_t>(k & 1)};
        Op(s, 0, sim::DcBlock42_41(u));
        Op(s, 1, sim::DcBlock42_44(u));
        Op(s, 2, {});
        Write("dc_decoders", "round_" + std::to_string(k), s);
    }
    for (int modules : {1, 4, 12}) {
        const sim::Plant p = rig::SamplePlant(0, 0, 0, modules, 60u + modules);
        for (std::uint8_t setup : {std::uint8_t{0}, static_cast<std::uint8_t>(1 + 2 * (modules - 1))}) {
            Bytes s{setup};
            Op(s, 0, sim::Info41_41(p, 0x11));
            Op(s, 1, sim::Info41_43(p, 0));
            Op(s, 2, sim::Info41_44(p, 0));
            Op(s, 3, sim::Info40_46(p));
            Op(s, 4, sim::Info42_46(p));
            Op(s, 5, {});
            Write("rc_decoders", "round_" + std::to_string(modules) + "_" + std::to_string(setup), s);
        }
    }
}

void CacheSeeds() {
    for (int channels = 1; channels <= 3; ++channels) {
        testhost::Host host;
        const sim::Plant p = rig::SamplePlant(1, channels, 1, 3 * channels, 70u + channels);
        auto ac = rig::MakeAc(host, 11);
        rig::PrimeAc(*ac, p.ac[0]);
        ac->RoundDone();
        auto dc = rig::MakeDc(host, 21);
        rig::PrimeDc(*dc, p.dc[0]);
        dc->RoundDone();
        auto rc = rig::MakeRc(host, 100);
        rig::PrimeRc(*rc, p);
        rc->RoundDone();
        const std::string n = std::to_string(channels);
        for (const auto& snap : host.ctl->published) {
            const std::uint8_t sel = snap.type_number == 5106 ? 0 : snap.type_number == 5108 ? 1 : 2;
            Bytes s{static_cast<std::uint8_t>(sel | (channels == 2 ? 0x10 : 0))};
            s.insert(s.end(), snap.bytes.begin(), snap.bytes.end());
            Write("cache", "image_" + std::to_string(snap.type_number) + "_" + n, s);
        }
    }
}

// Plays whole rounds against the real bus device and writes the host
// events the poll targets read: [config] then refresh, answers, data-valid.
template <typename Bus>
void PollSeeds(const char* target, sim::Model model) {
    struct Case { int ac, dc, modules; };
    for (const Case c : {Case{2, 2, 12}, Case{0, 0, 2}, Case{1, 0, 4}, Case{0, 1, 4}, Case{3, 3, 6}}) {
        testhost::Host host;
        auto bus = std::make_shared<Bus>();
        bus->Init(host.ctl, 7, Json::Value(Json::objectValue));
        Json::Value config(Json::objectValue);
        config["acSetting"] = Json::Value(Json::arrayValue);
        config["dcSetting"] = Json::Value(Json::arrayValue);
        for (int i = 0; i < c.ac; ++i) config["acSetting"][i]["data_id"] = 11 + i;
        for (int i = 0; i < c.dc; ++i) config["dcSetting"][i]["data_id"] = 21 + i;
        config["rcSetting"] = Json::Value(Json::objectValue);
        bus->InitSetting(config);
        for (const auto& ch : bus->GetAllChildVDevices())
            if (auto* a = dynamic_cast<PMBusPowerAC<tele_c_qzl4200_ac, tele_c_qzl4200_ac_channel, 5106>*>(ch.get()))
                a->SetTraceStream(nullptr);
        bus->SetLastUpdate(boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(10));

        Bytes s{static_cast<std::uint8_t>(c.ac | c.dc << 2)};
        const std::uint8_t flags[] = {0x11, 0x00, 0x01, 0x10};
        for (int round = 0; round < 4; ++round) {
            const sim::Plant p = rig::SamplePlant(c.ac, 2, c.dc, c.modules, 80u + round);
            s.push_back(0x00);  // RefreshStatus, spacing passed
            bus->RefreshStatus();
            for (int k = 0; k < 40; ++k) {
                const testhost::Request req = host.ctl->requests.back();
                const Bytes info = rig::InfoFor(p, model, req.cid1, req.cid2, flags[round]);
                s.push_back(0x15);  // an answer to the outstanding request, 16-bit length
                s.push_back(static_cast<std::uint8_t>(info.size() & 0xFF));
                s.push_back(static_cast<std::uint8_t>(info.size() >> 8));
                s.insert(s.end(), info.begin(), info.end());
                const std::size_t before = host.ctl->published.size();
                const Bytes buf = testhost::Answer(req.cid1, info);
                poll::counting = true;
                bus->DeliverAnswer(buf.data(), static_cast<unsigned>(buf.size()));
                poll::counting = false;
                if (host.ctl->published.size() != before) break;
            }
            // The host marks the data valid after the first round.
            s.push_back(0x0A);
            bus->SetDataValid(1);
        }
        Write(target, "rounds_" + std::to_string(c.ac) + "ac_" + std::to_string(c.dc) + "dc", s);
    }
}

void InitSettingSeeds() {
    Write("init_setting", "site",
          R"({"address":1,"protocol_version":33,"baud":9600,)"
          R"("acSetting":[{"data_id":11,"appSetting":{"diff_v":"5","diff_i":"2"}},{"data_id":12}],)"
          R"("dcSetting":[{"data_id":21,"appSetting":{"diff_v":"0.5"}},{"data_id":22}],)"
          R"("rcSetting":{"data_id":7}})");
    Write("init_setting", "minimal", R"({"rcSetting":{}})");
    Write("init_setting", "no_rectifier", R"({"acSetting":[{"data_id":11}]})");
    Write("init_setting", "base_version", R"({"protocol_version":32,"dcSetting":[{"data_id":1},{"data_id":2},{"data_id":3},{"data_id":4}],"rcSetting":{}})");
    Write("init_setting", "wrong_types", R"({"acSetting":[{"data_id":-1}],"dcSetting":{"data_id":2},"rcSetting":[]})");
    Write("init_setting", "not_object", R"([1,2,3])");
}

void GetValueSeeds() {
    int k = 0;
    for (const char* name : {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert", "channel_0_a", "channel_1_b",
                             "channel_2_c", "channel_2_f", "channel_3_a", "ac_channel_1_b", "channel_0_frequency",
                             "channel_0_", "channel__a", "channel_0_x", "channel_00000000000000000000001_a",
                             "channel_99999999999999999999_a", "v", "i", "channel_1_\n", "x channel_0_c"})
        Write("get_value", "name_" + std::to_string(k++), std::string(name));
}

void FrameSeeds() {
    const sim::Plant p = rig::SamplePlant(2, 3, 2, 12, 90);
    std::string all;
    int k = 0;
    for (const auto& rq : {std::pair<int, int>{0x40, 0x51}, {0x40, 0x41}, {0x40, 0x44}, {0x41, 0x41},
                           {0x41, 0x43}, {0x41, 0x44}, {0x42, 0x41}, {0x42, 0x44}, {0x40, 0x46}, {0x42, 0x46}}) {
        const Bytes info = rig::InfoFor(p, sim::Model::tvr27pk, static_cast<std::uint8_t>(rq.first),
                                        static_cast<std::uint8_t>(rq.second), 0x11);
        const std::string f = frame::EncodeFrame(0x21, 1, static_cast<std::uint8_t>(rq.first), 0, info.data(), info.size());
        all += f;
        Write("frame_decoder", "answer_" + std::to_string(k++), "\x05" + f);
    }
    Write("frame_decoder", "round", "\x11" + all);
    const std::string err = frame::EncodeFrame(0x21, 1, 0x40, 0x04, nullptr, 0);
    const std::string other = frame::EncodeFrame(0x21, 2, 0x40, 0, nullptr, 0);
    Write("frame_decoder", "mixed", "\x23noise~12" + err + other + "~" + all.substr(0, 30) + "\r" + all);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    root = argv[1];
    rig::QuietStdout();
    DecoderSeeds();
    CacheSeeds();
    PollSeeds<tvr27pk>("poll_tvr27pk", sim::Model::tvr27pk);
    PollSeeds<QZL4200>("poll_qzl4200", sim::Model::qzl4200);
    InitSettingSeeds();
    GetValueSeeds();
    FrameSeeds();
    return 0;
}
