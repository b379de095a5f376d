// The host's frame decoder on arbitrary byte streams. Cutting the stream
// into other pieces changes no event; every frame found is exactly the
// encoding of what it decoded to and lies in the stream; the counters agree
// with the events; events never cover more bytes than were fed; a good frame
// after any garbage is found (a '~' always starts a frame); and the bus
// device handed the same stream takes exactly the good frames for its
// address.
//
// Input: [cut seed][stream...].
#include "bus/bus_models.h"
#include "fuzz/support/check.h"
#include "fuzz/support/input.h"
#include "fuzz/support/rig.h"
#include "host/frame_codec.h"

#include <json/value.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using frame::DecodeEvent;

std::vector<DecodeEvent> FeedWhole(const rig::Bytes& s) {
    frame::FrameDecoder d;
    std::vector<DecodeEvent> out;
    d.Feed(s.data(), s.size(), out);
    d.Flush(out);
    return out;
}

std::vector<DecodeEvent> FeedCut(const rig::Bytes& s, std::uint8_t seed, frame::DecoderStats& stats) {
    frame::FrameDecoder d;
    std::vector<DecodeEvent> out;
    unsigned x = seed * 2654435761u + 7u;
    for (std::size_t at = 0; at < s.size();) {
        x = x * 1103515245u + 12345u;
        const std::size_t n = std::min<std::size_t>(s.size() - at, 1 + (x >> 16) % 64);
        d.Feed(s.data() + at, n, out);
        at += n;
    }
    d.Flush(out);
    stats = d.Stats();
    return out;
}

bool SameEvent(const DecodeEvent& a, const DecodeEvent& b) {
    return a.ok == b.ok && a.bytes == b.bytes && (a.ok ? a.frame.raw == b.frame.raw : a.fault == b.fault);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rig::QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t seed = in.Byte();
    const rig::Bytes stream = in.Rest();
    const std::string text(stream.begin(), stream.end());

    const std::vector<DecodeEvent> whole = FeedWhole(stream);
    frame::DecoderStats stats;
    const std::vector<DecodeEvent> cut = FeedCut(stream, seed, stats);
    FUZZ_CHECK(whole.size() == cut.size(), "events depend on the pieces:", whole.size(), cut.size());
    for (std::size_t k = 0; k < whole.size(); ++k) FUZZ_CHECK(SameEvent(whole[k], cut[k]), "event", k, "differs");

    std::uint64_t frames = 0, errorRtn = 0, noiseRuns = 0, noiseBytes = 0, bad = 0, covered = 0, mine = 0;
    for (const DecodeEvent& e : cut) {
        covered += e.bytes;
        FUZZ_CHECK(e.bytes > 0, "empty event");
        if (!e.ok) {
            if (e.fault == frame::Fault::kNoise) {
                ++noiseRuns;
                noiseBytes += e.bytes;
            } else {
                ++bad;
            }
            continue;
        }
        ++frames;
        const frame::Frame& f = e.frame;
        if (f.rtn != 0) ++errorRtn;
        if (f.rtn == 0 && f.adr == 1) ++mine;
        FUZZ_CHECK(f.info.size() <= frame::kMaxInfoBytes, "INFO too long");
        FUZZ_CHECK(frame::EncodeFrame(f.ver, f.adr, f.cid1, f.rtn, f.info.data(), f.info.size()) == f.raw,
                   "frame is not the encoding of what it decoded to");
        FUZZ_CHECK(e.bytes == f.raw.size() && text.find(f.raw) != std::string::npos, "frame not in the stream");
        const std::vector<std::uint8_t> buf = f.ResponseBuffer();
        FUZZ_CHECK(buf.size() == 6 + f.info.size() && buf[2] == f.cid1 &&
                       ((buf[4] | buf[5] << 8) >> 1) == static_cast<int>(f.info.size()),
                   "response buffer layout");
    }
    FUZZ_CHECK(covered <= stream.size(), "events cover", covered, "of", stream.size(), "bytes");
    FUZZ_CHECK(stats.frames == frames && stats.error_rtn == errorRtn, "frame counters");
    FUZZ_CHECK(stats.noise_runs == noiseRuns && stats.noise_bytes == noiseBytes, "noise counters");
    FUZZ_CHECK(stats.BadFrames() == bad, "rejected-frame counters");

    // A good frame after the stream, the stream left open, is found.
    const rig::Bytes info(stream.begin(), stream.begin() + static_cast<long>(std::min<std::size_t>(stream.size(), 40)));
    const std::string good = frame::EncodeFrame(0x21, 1, 0x40, 0, info.data(), info.size());
    {
        frame::FrameDecoder d;
        std::vector<DecodeEvent> out;
        d.Feed(stream.data(), stream.size(), out);
        d.Feed(reinterpret_cast<const std::uint8_t*>(good.data()), good.size(), out);
        FUZZ_CHECK(!out.empty() && out.back().ok && out.back().frame.raw == good, "good frame after garbage lost");
    }

    // The bus device takes the good frames for its address (RTN 0) and no other.
    testhost::Host host;
    auto bus = std::make_shared<tvr27pk>();
    bus->Init(host.ctl, 7, Json::Value(Json::objectValue));
    Json::Value config(Json::objectValue);
    config["acSetting"][0]["data_id"] = 11;
    config["dcSetting"][0]["data_id"] = 21;
    config["rcSetting"] = Json::Value(Json::objectValue);
    bus->InitSetting(config);
    for (const auto& c : bus->GetAllChildVDevices())
        if (auto* a = dynamic_cast<tvr27pkAC*>(c.get())) a->SetTraceStream(nullptr);
    const int handled = bus->process(stream.data(), static_cast<unsigned>(stream.size()));
    std::uint64_t errors = 0;
    for (const DecodeEvent& e : cut)
        if (e.ok && e.frame.adr == 1 && e.frame.rtn != 0) ++errors;
    FUZZ_CHECK(static_cast<std::uint64_t>(handled) == mine + errors, "bus device handled", handled, "of", mine + errors);
    FUZZ_CHECK(bus->FrameStats().frames == frames, "bus device frame count");
    return 0;
}
