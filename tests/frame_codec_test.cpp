// The power-bus frame codec: worked frames, every corruption the decoder
// classifies, resynchronisation, and PMBusProtocol::process on wire bytes.
#include "host/frame_codec.h"
#include "host/pmbus_protocol.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using frame::DecodeEvent;
using frame::Fault;
using frame::FrameDecoder;

std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<DecodeEvent> FeedAll(FrameDecoder& d, const std::string& s, bool bytewise = false) {
    std::vector<DecodeEvent> out;
    const auto b = Bytes(s);
    if (bytewise) {
        for (auto c : b) d.Feed(&c, 1, out);
    } else {
        d.Feed(b.data(), b.size(), out);
    }
    return out;
}

// Frames whose checksums were worked out independently of this code.
const std::string kReq4043 = "~20014043E00200FD3B\r";     // VER 20, 40_43, INFO 00
const std::string kReq4041 = "~21014041E002FFFD10\r";     // VER 21, 40_41, INFO FF
const std::string kAnsFloat = "~20014000800800005642FC18\r";  // 53.5 as 00 00 56 42
const std::string kAnsRtn4 = "~210140040000FDB4\r";       // RTN 04, no INFO
const std::string kAnsAdr2 = "~21024000E00201FD3F\r";     // ADR 02, INFO 01

struct EncodeCase {
    const char* name;
    std::uint8_t ver, adr, cid1, cid2;
    std::vector<std::uint8_t> info;
    std::string wire;
};

TEST(FrameEncode, WorkedFrames) {
    const std::vector<EncodeCase> cases = {
        {"40_43 one zero byte", 0x20, 0x01, 0x40, 0x43, {0x00}, kReq4043},
        {"40_41 command group", 0x21, 0x01, 0x40, 0x41, {0xFF}, kReq4041},
        {"answer with a float", 0x20, 0x01, 0x40, 0x00, {0x00, 0x00, 0x56, 0x42}, kAnsFloat},
        {"error RTN, no INFO", 0x21, 0x01, 0x40, 0x04, {}, kAnsRtn4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(frame::EncodeFrame(c.ver, c.adr, c.cid1, c.cid2, c.info.data(), c.info.size()), c.wire)
            << c.name;
    }
}

TEST(FrameEncode, LengthFieldChecksumNibble) {
    struct Case { unsigned lenid; std::uint16_t field; };
    const std::vector<Case> cases = {
        {0x000, 0x0000}, {0x002, 0xE002}, {0x008, 0x8008}, {0x007, 0x9007},
        {0x060, 0xA060}, {0xFFF, 0x3FFF}, {0x010, 0xF010},
    };
    for (const auto& c : cases) EXPECT_EQ(frame::LengthField(c.lenid), c.field) << c.lenid;
}

TEST(FrameEncode, NoPayloadAndTooLongPayload) {
    const std::string s = frame::EncodeRequest(0x21, 0x01, 0x41, 0x41, nullptr, 5);
    EXPECT_EQ(s.substr(0, 13), "~210141410000");
    EXPECT_EQ(s.size(), 18u);
    std::vector<std::uint8_t> big(frame::kMaxInfoBytes + 1);
    EXPECT_THROW(frame::EncodeFrame(0x21, 1, 0x40, 0x41, big.data(), big.size()), std::length_error);
    big.pop_back();
    // The longest frame still decodes.
    const std::string longest = frame::EncodeFrame(0x21, 1, 0x40, 0x00, big.data(), big.size());
    FrameDecoder d;
    auto ev = FeedAll(d, longest);
    ASSERT_EQ(ev.size(), 1u);
    ASSERT_TRUE(ev[0].ok);
    EXPECT_EQ(ev[0].frame.info.size(), frame::kMaxInfoBytes);
}

TEST(FrameDecode, WorkedFramesInResponseBufferLayout) {
    FrameDecoder d;
    auto ev = FeedAll(d, kAnsFloat);
    ASSERT_EQ(ev.size(), 1u);
    ASSERT_TRUE(ev[0].ok);
    const auto& f = ev[0].frame;
    EXPECT_EQ(f.ver, 0x20);
    EXPECT_EQ(f.adr, 0x01);
    EXPECT_EQ(f.cid1, 0x40);
    EXPECT_EQ(f.rtn, 0x00);
    EXPECT_EQ(f.raw, kAnsFloat);
    const std::vector<std::uint8_t> want = {0x20, 0x01, 0x40, 0x00, 0x08, 0x00, 0x00, 0x00, 0x56, 0x42};
    EXPECT_EQ(f.ResponseBuffer(), want);
    float v = 0;
    std::memcpy(&v, f.info.data(), 4);
    EXPECT_FLOAT_EQ(v, 53.5f);

    // A request decodes too: its CID2 stands where an answer has RTN.
    ev = FeedAll(d, kReq4041);
    ASSERT_EQ(ev.size(), 1u);
    ASSERT_TRUE(ev[0].ok);
    EXPECT_EQ(ev[0].frame.rtn, 0x41);
    EXPECT_EQ(ev[0].frame.info, std::vector<std::uint8_t>{0xFF});
    EXPECT_EQ(d.Stats().frames, 2u);
    EXPECT_EQ(d.Stats().error_rtn, 1u);
}

TEST(FrameDecode, LengthFieldOfBufferIsLenIdLittleEndian) {
    std::vector<std::uint8_t> info(0x90);  // LENID 0x120: high byte non-zero
    const std::string w = frame::EncodeFrame(0x21, 1, 0x42, 0, info.data(), info.size());
    FrameDecoder d;
    auto ev = FeedAll(d, w);
    ASSERT_EQ(ev.size(), 1u);
    ASSERT_TRUE(ev[0].ok);
    const auto buf = ev[0].frame.ResponseBuffer();
    EXPECT_EQ(buf[4], 0x20);
    EXPECT_EQ(buf[5], 0x01);
    EXPECT_EQ(((buf[4] | buf[5] << 8) >> 1), 0x90);
}

struct CorruptCase {
    const char* name;
    std::string wire;
    std::vector<Fault> faults;  // in order
    int good;                   // good frames expected
};

// Every way a frame is refused, each alone and each followed by a good
// frame to show that the decoder resynchronises on the next '~'.
TEST(FrameDecode, Corruptions) {
    const std::string body = kAnsFloat.substr(1, kAnsFloat.size() - 2);  // no '~', no CR
    auto with = [&](std::size_t pos, char c) {
        std::string s = kAnsFloat;
        s[pos] = c;
        return s;
    };
    const std::vector<CorruptCase> cases = {
        {"checksum digit", with(kAnsFloat.size() - 2, '9'), {Fault::kBadChecksum}, 0},
        {"INFO digit", with(14, '1'), {Fault::kBadChecksum}, 0},
        {"VER digit", with(2, '1'), {Fault::kBadChecksum}, 0},
        {"length checksum nibble", with(9, '9'), {Fault::kBadLengthChecksum}, 0},
        {"LENID digit", with(12, '6'), {Fault::kBadLengthChecksum}, 0},
        {"lower-case hex", with(kAnsFloat.size() - 3, 'c'), {Fault::kNonHex}, 0},
        {"letter G in INFO", with(15, 'G'), {Fault::kNonHex}, 0},
        {"NUL in header", std::string("~2001\0" "000800005642FC18\r", 23), {Fault::kNonHex}, 0},
        {"header only", "~200140\r", {Fault::kEndedEarly}, 0},
        {"no checksum", "~200140008008\r", {Fault::kEndedEarly}, 0},
        {"INFO cut short", "~2001400080080000FC18\r", {Fault::kEndedEarly}, 0},
        {"empty frame", "~\r", {Fault::kEndedEarly}, 0},
        {"INFO longer than LENID", "~200140008008000056420000FC18\r", {Fault::kBadLength}, 0},
        {"odd LENID", "~2001400090070000564FC18\r", {Fault::kBadLength}, 0},
        {"noise alone", "\x01\x02xyz\r\n", {Fault::kNoise}, 0},
        {"noise then frame", "garbage" + kAnsFloat, {Fault::kNoise}, 1},
        {"frame, noise, frame", kAnsFloat + "\n\n" + kAnsFloat, {Fault::kNoise}, 2},
        {"'~' inside a frame", "~200140008008" + kAnsFloat, {Fault::kEndedEarly}, 1},
        {"bad checksum then good", with(kAnsFloat.size() - 2, '0') + kAnsFloat, {Fault::kBadChecksum}, 1},
        {"overlong then good", "~" + std::string(frame::kMaxBodyChars + 10, '0') + "\r" + kAnsFloat,
         {Fault::kOverlong}, 1},
        {"overlong junk is not noise", "~" + std::string(frame::kMaxBodyChars + 1, 'A') + "\rzz",
         {Fault::kOverlong, Fault::kNoise}, 0},
    };
    for (bool bytewise : {false, true}) {
        for (const auto& c : cases) {
            FrameDecoder d;
            auto ev = FeedAll(d, c.wire, bytewise);
            d.Flush(ev);
            std::vector<Fault> faults;
            int good = 0;
            for (const auto& e : ev) {
                if (e.ok) {
                    ++good;
                    EXPECT_EQ(e.frame.raw, kAnsFloat) << c.name;
                } else {
                    faults.push_back(e.fault);
                }
            }
            EXPECT_EQ(faults, c.faults) << c.name << (bytewise ? " (byte by byte)" : "");
            EXPECT_EQ(good, c.good) << c.name;
            EXPECT_EQ(d.Stats().frames, static_cast<unsigned>(c.good)) << c.name;
        }
    }
}

TEST(FrameDecode, StatsCountEachClass) {
    FrameDecoder d;
    std::string bad = kAnsFloat;
    bad[bad.size() - 2] = '0';
    FeedAll(d, "ab" + bad + "~200140\r" + "~2001400090070000564FC18\r" + "~200140009008" +
                   "~20G1\r" + kAnsRtn4 + "c");
    std::vector<DecodeEvent> rest;
    d.Flush(rest);
    const auto& s = d.Stats();
    EXPECT_EQ(s.noise_bytes, 3u);
    EXPECT_EQ(s.noise_runs, 2u);
    EXPECT_EQ(s.bad_checksum, 1u);
    EXPECT_EQ(s.ended_early, 2u);
    EXPECT_EQ(s.bad_length, 1u);
    EXPECT_EQ(s.non_hex, 1u);
    EXPECT_EQ(s.frames, 1u);
    EXPECT_EQ(s.error_rtn, 1u);
    EXPECT_EQ(s.BadFrames(), 5u);
}

TEST(FrameDecode, FlushEndsAnOpenFrame) {
    FrameDecoder d;
    auto ev = FeedAll(d, kAnsFloat.substr(0, 10));
    EXPECT_TRUE(ev.empty());
    EXPECT_TRUE(d.InFrame());
    d.Flush(ev);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].fault, Fault::kEndedEarly);
    EXPECT_FALSE(d.InFrame());
    // The tail of the old frame is noise now, the next frame is good.
    ev = FeedAll(d, kAnsFloat.substr(10) + kAnsFloat);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].fault, Fault::kNoise);
    EXPECT_TRUE(ev[1].ok);
}

TEST(FrameDecode, PendingCountsTheBytesToTheEndOfTheOpenFrame) {
    const std::size_t n = kAnsFloat.size();
    const struct Case {
        const char* name;
        std::string fed;
        std::size_t pending;
    } cases[] = {
        {"nothing", "", 0},
        {"noise", "xyz", 0},
        {"SOI only: the shortest frame", "~", 17},
        {"half a header", kAnsFloat.substr(0, 7), 11},
        {"header in: exact", kAnsFloat.substr(0, 13), n - 13},
        {"all but CR", kAnsFloat.substr(0, n - 1), 1},
        {"whole frame", kAnsFloat, 0},
        {"LENID not hex", "~2101410000Z0", 1},
        {"past its LENGTH", "~210141000000ABCDEF1234", 1},
        {"discarding an overlong frame", "~" + std::string(frame::kMaxBodyChars + 1, '0'), 1},
    };
    for (const Case& c : cases) {
        FrameDecoder d;
        FeedAll(d, c.fed);
        EXPECT_EQ(d.Pending(), c.pending) << c.name;
    }
}

// A bus-level device that records what process hands it.
class WireDevice : public PMBusProtocol {
public:
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    int process_payload() override {
        const unsigned lenid = response_[4] | response_[5] << 8;
        payloads.emplace_back(response_, response_ + 6 + lenid / 2);
        return next_result;
    }
    int process_error(int rtn) override {
        errors.push_back(rtn);
        return 1;
    }
    void SetStep(std::uint32_t s) { commandStep_ = s; }
    std::vector<std::vector<std::uint8_t>> payloads;
    std::vector<int> errors;
    int next_result = 1;
};

class GateController : public testhost::TestController {
public:
    bool AcceptAnswer(PMBusProtocol&, const frame::Frame& f) override {
        offered.push_back(f.raw);
        return accept;
    }
    void AnswerHandled(PMBusProtocol&, std::uint32_t stepBefore, const frame::Frame& f,
                       int result) override {
        handled.push_back({stepBefore, f.cid1, f.rtn, result});
    }
    struct Handled { std::uint32_t step; std::uint8_t cid1, rtn; int result; };
    bool accept = true;
    std::vector<std::string> offered;
    std::vector<Handled> handled;
};

struct Wire {
    Wire() {
        dev->Init(ctl, 7, Json::Value(Json::objectValue));
    }
    int Send(const std::string& s) {
        return dev->process(reinterpret_cast<const unsigned char*>(s.data()), static_cast<unsigned>(s.size()));
    }
    std::shared_ptr<GateController> ctl = std::make_shared<GateController>();
    std::shared_ptr<WireDevice> dev = std::make_shared<WireDevice>();
};

TEST(ProtocolProcess, GoodAnswerReachesPayloadWhateverItsVer) {
    Wire w;
    w.dev->SetStep(4);
    w.dev->next_result = 0;
    // Protocol version 0x21 is configured; the answer says 0x20.
    EXPECT_EQ(w.Send(kAnsFloat), 1);
    ASSERT_EQ(w.dev->payloads.size(), 1u);
    const std::vector<std::uint8_t> want = {0x20, 0x01, 0x40, 0x00, 0x08, 0x00, 0x00, 0x00, 0x56, 0x42};
    EXPECT_EQ(w.dev->payloads[0], want);
    EXPECT_EQ(w.dev->ResponseBuffer(), nullptr);
    ASSERT_EQ(w.ctl->handled.size(), 1u);
    EXPECT_EQ(w.ctl->handled[0].step, 4u);
    EXPECT_EQ(w.ctl->handled[0].result, 0);
}

TEST(ProtocolProcess, AnswerSplitAcrossReadsAndTwoInOneRead) {
    Wire w;
    EXPECT_EQ(w.Send(kAnsFloat.substr(0, 7)), 0);
    EXPECT_EQ(w.Send(kAnsFloat.substr(7) + kAnsFloat), 2);
    EXPECT_EQ(w.dev->payloads.size(), 2u);
}

TEST(ProtocolProcess, ErrorRtnGoesToProcessError) {
    Wire w;
    EXPECT_EQ(w.Send(kAnsRtn4), 1);
    EXPECT_TRUE(w.dev->payloads.empty());
    EXPECT_EQ(w.dev->errors, std::vector<int>{4});
    ASSERT_EQ(w.ctl->handled.size(), 1u);
    EXPECT_EQ(w.ctl->handled[0].rtn, 4);
}

TEST(ProtocolProcess, RejectedFramesAreCountedLoggedAndNotDelivered) {
    struct Case { const char* name; std::string wire; const char* log; };
    std::string badSum = kAnsFloat;
    badSum[badSum.size() - 2] = '0';
    const std::vector<Case> cases = {
        {"bad checksum", badSum, "PMBusProtocol: 7 dropped 26 bytes: bad checksum"},
        {"non-hex", "~20014000800800005642FC1x\r", "PMBusProtocol: 7 dropped 26 bytes: non-hex character"},
        {"ended early", "~2001\r", "PMBusProtocol: 7 dropped 6 bytes: frame ended early"},
        {"bad length checksum", "~20014000700800005642FC18\r",
         "PMBusProtocol: 7 dropped 26 bytes: bad length checksum"},
        {"noise", "hello", nullptr},
        {"other address", kAnsAdr2, "PMBusProtocol: 7 dropped a frame from address 2"},
    };
    for (const auto& c : cases) {
        Wire w;
        EXPECT_EQ(w.Send(c.wire), 0) << c.name;
        w.dev->FlushReceiver();
        EXPECT_TRUE(w.dev->payloads.empty()) << c.name;
        EXPECT_TRUE(w.dev->errors.empty()) << c.name;
        EXPECT_TRUE(w.ctl->offered.empty()) << c.name;
        if (c.log) {
            EXPECT_TRUE(w.ctl->Logged(c.log)) << c.name;
        }
    }
    Wire w;
    w.Send("hello");
    w.dev->FlushReceiver();
    EXPECT_TRUE(w.ctl->Logged("PMBusProtocol: 7 dropped 5 bytes: noise"));
    EXPECT_EQ(w.dev->FrameStats().noise_bytes, 5u);
}

TEST(ProtocolProcess, ControllerMayRefuseAnAnswer) {
    Wire w;
    w.ctl->accept = false;
    EXPECT_EQ(w.Send(kAnsFloat + kAnsRtn4), 0);
    EXPECT_EQ(w.ctl->offered.size(), 2u);
    EXPECT_TRUE(w.dev->payloads.empty());
    EXPECT_TRUE(w.dev->errors.empty());
    EXPECT_TRUE(w.ctl->handled.empty());
}

TEST(ProtocolProcess, EncodeRequestUsesConfiguredVerAndAdr) {
    Wire w;
    EXPECT_TRUE(w.dev->InitSetting(testhost::ParseJson(R"({"address": 1, "protocol_version": 32})")));
    const std::uint8_t zero = 0;
    EXPECT_EQ(w.dev->EncodeRequest(0x40, 0x43, &zero, 1), kReq4043);
    EXPECT_TRUE(w.dev->InitSetting(testhost::ParseJson(R"({"protocol_version": 33})")));
    const std::uint8_t group = 0xFF;
    EXPECT_EQ(w.dev->EncodeRequest(0x40, 0x41, &group, 1), kReq4041);
}

}  // namespace
