// The runtime over a pseudo-terminal against a scripted power system.
#include "tools/runtime/tests/rig.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace rttest {
namespace {

// Answers 41_41 with 53 + the request's index, 42_41 with 48.
std::vector<Reply> Plain(const frame::Frame& req, int index) {
    if (req.cid1 == 0x41) return {{AnswerFrame(0x41, Float(53.0f + static_cast<float>(index)))}};
    return {{AnswerFrame(0x42, Float(48.0f))}};
}

float AsFloat(const std::vector<std::uint8_t>& b) {
    float v = 0;
    if (b.size() >= 4) std::memcpy(&v, b.data(), 4);
    return v;
}

TEST(RuntimePty, RoundsSnapshotsRulesHistoryAndDataValid) {
    TempDir dir;
    Rig rig(dir.Path(), Plain);
    EXPECT_EQ(rig.restored, 0);  // empty database
    rig.Start();
    ASSERT_TRUE(rig.WaitRounds(3));
    rig.Stop();

    // The requests on the wire: VER 0x21, ADR 1, 41_41 without and 42_41
    // with the command-group byte, alternating.
    const auto reqs = rig.ps.Requests();
    ASSERT_GE(reqs.size(), 6u);
    for (std::size_t i = 0; i < reqs.size(); ++i) {
        EXPECT_EQ(reqs[i].ver, 0x21);
        EXPECT_EQ(reqs[i].adr, 0x01);
        EXPECT_EQ(reqs[i].cid1, i % 2 ? 0x42 : 0x41) << i;
        EXPECT_EQ(reqs[i].rtn, 0x41) << i;  // CID2
        EXPECT_EQ(reqs[i].info, i % 2 ? std::vector<std::uint8_t>{0xFF} : std::vector<std::uint8_t>{}) << i;
    }
    EXPECT_EQ(reqs[0].raw, frame::EncodeRequest(0x21, 1, 0x41, 0x41, nullptr, 0));

    const auto rounds = rig.Rounds();
    ASSERT_GE(rounds.size(), 3u);
    for (std::size_t r = 0; r < rounds.size(); ++r) {
        EXPECT_EQ(rounds[r].round, r + 1);
        ASSERT_EQ(rounds[r].snapshots.size(), 2u);
        EXPECT_EQ(rounds[r].snapshots[0].data_id, 100u);
        EXPECT_EQ(rounds[r].snapshots[0].type_number, 5107);
        EXPECT_EQ(rounds[r].snapshots[1].data_id, 201u);
        EXPECT_EQ(rounds[r].snapshots[1].type_number, 5108);
        ASSERT_EQ(rounds[r].rules->size(), 2u);
        EXPECT_EQ((*rounds[r].rules)[0].key, "HIGH");
        EXPECT_GT(rounds[r].seconds, 0.0);
    }
    EXPECT_FLOAT_EQ(AsFloat(rounds[0].snapshots[0].bytes), 53.0f);
    EXPECT_FLOAT_EQ(AsFloat(rounds[1].snapshots[0].bytes), 55.0f);
    EXPECT_EQ((*rounds[0].rules)[0].active, 0u);
    EXPECT_EQ((*rounds[1].rules)[0].active, 1u);

    // Data-valid: 0 through the first round, 1 from its end on.
    ASSERT_GE(rig.bus->validSeen.size(), 4u);
    EXPECT_EQ(rig.bus->validSeen[0], 0);
    EXPECT_EQ(rig.bus->validSeen[1], 0);
    EXPECT_EQ(rig.bus->validSeen[2], 1);
    EXPECT_EQ(rig.bus->DataValid(), 1);
    EXPECT_FALSE(rig.bus->LastUpdate().is_special());

    const rt::LineStats s = rig.host->Stats();
    EXPECT_EQ(s.requests, s.answers);
    EXPECT_EQ(s.timeouts, 0u);
    EXPECT_EQ(s.bad_frames, 0u);
    EXPECT_EQ(s.late_frames + s.stray_frames, 0u);
    EXPECT_EQ(s.rounds, rounds.size());

    // History: one row per child and round; the alarm began once.
    ASSERT_NE(rig.host->Store(), nullptr);
    EXPECT_EQ(rig.host->Store()->HistoryRows(), 2 * rounds.size());
    const auto alarms = rig.host->Store()->Alarms();
    ASSERT_EQ(alarms.size(), 1u);
    EXPECT_TRUE(alarms[0].begin);
    EXPECT_EQ(alarms[0].data_id, 100u);
    EXPECT_EQ(alarms[0].rule_key, "HIGH");
    EXPECT_EQ(alarms[0].alarm_id, "01001");
    EXPECT_EQ(alarms[0].level, 2);
    EXPECT_EQ(rig.host->Alarms().Active().size(), 1u);
    EXPECT_EQ(rig.Events(), (std::vector<std::string>{"1 alarm_begin 100 HIGH"}));

    const auto latest = rig.host->LatestSnapshots();
    ASSERT_EQ(latest.count({100u, 5107}), 1u);
    EXPECT_FLOAT_EQ(AsFloat(latest.at({100u, 5107})), rounds.back().snapshots[0].bytes.empty()
                                                           ? 0.0f
                                                           : AsFloat(rounds.back().snapshots[0].bytes));
}

TEST(RuntimePty, LateAnswerIsDroppedAndTheRequestRepeated) {
    TempDir dir;
    // The first 41_41 is answered (value 99) only after its timeout.
    Rig rig(dir.Path(), [](const frame::Frame& req, int index) -> std::vector<Reply> {
        if (index == 0) return {{AnswerFrame(0x41, Float(99.0f)), 450}};
        return Plain(req, index);
    }, R"({"timeout_ms": 300})");
    rig.Start();
    ASSERT_TRUE(rig.WaitRounds(1));
    rig.Stop();
    const rt::LineStats s = rig.host->Stats();
    EXPECT_EQ(s.timeouts, 1u);
    EXPECT_EQ(s.late_frames, 1u);
    // The repeated 41_41 went out after the late answer had come and gone.
    const auto reqs = rig.ps.Requests();
    ASSERT_GE(reqs.size(), 3u);
    EXPECT_EQ(reqs[1].cid1, 0x41);
    EXPECT_EQ(reqs[2].cid1, 0x42);
    const auto rounds = rig.Rounds();
    EXPECT_FLOAT_EQ(AsFloat(rounds[0].snapshots[0].bytes), 54.0f);  // the answer to request 1, not 99
    EXPECT_EQ(rig.LogCount("no answer to 41_41 within 300 ms"), 1);
    EXPECT_EQ(rig.LogCount("dropped a late answer (CID1 41)"), 1);
}

TEST(RuntimePty, SilentPowerSystemClearsDataValidOnceAndIsHeardAgain) {
    TempDir dir;
    // Requests 2 to 5 (the second round) get no answer.
    Rig rig(dir.Path(), [](const frame::Frame& req, int index) -> std::vector<Reply> {
        if (index >= 2 && index <= 5) return {};
        return Plain(req, index);
    }, R"({"timeout_ms": 150, "lost_after_timeouts": 3})");
    rig.Start();
    ASSERT_TRUE(rig.WaitRounds(3));
    rig.Stop();
    const rt::LineStats s = rig.host->Stats();
    EXPECT_EQ(s.timeouts, 4u);
    EXPECT_EQ(rig.LogCount("no answer to 41_41 within 150 ms"), 1);
    EXPECT_EQ(rig.LogCount("does not answer (3 timeouts in a row)"), 1);
    EXPECT_EQ(rig.LogCount("the power system answers again"), 1);
    EXPECT_EQ(rig.Events(), (std::vector<std::string>{"1 line_lost 100", "2 line_back 100", "3 alarm_begin 100 HIGH"}));
    // Round 2 was read with data-valid cleared again.
    ASSERT_GE(rig.bus->validSeen.size(), 4u);
    EXPECT_EQ(rig.bus->validSeen[2], 0);
    EXPECT_EQ(rig.bus->validSeen[3], 0);
}

TEST(RuntimePty, NoiseEchoCorruptFramesAndErrorRtn) {
    TempDir dir;
    Rig rig(dir.Path(), [](const frame::Frame& req, int index) -> std::vector<Reply> {
        if (index == 1) return {{AnswerFrame(0x42, {}, 0x04)}};  // RTN 4: checksum error reported
        std::string good = Plain(req, index)[0].bytes;
        std::string bad = good;
        bad[bad.size() - 2] = bad[bad.size() - 2] == '0' ? '1' : '0';
        std::string other = AnswerFrame(req.cid1, Float(1.0f), 0, 0x21, 2);  // another address
        return {{req.raw + std::string("\x00\xFFjunk\r\n", 8) + bad + other + good.substr(0, 9) + good}};
    });
    rig.Start();
    ASSERT_TRUE(rig.WaitRounds(3));
    rig.Stop();
    const rt::LineStats s = rig.host->Stats();
    EXPECT_EQ(s.timeouts, 0u);
    EXPECT_EQ(s.error_answers, 1u);
    EXPECT_EQ(s.answers, s.requests);
    EXPECT_GE(s.echoes, s.requests - 1);
    EXPECT_GE(s.bad_frames, 2 * (s.requests - 1));  // a bad checksum and a cut frame each time
    EXPECT_GE(s.foreign_frames, s.requests - 1);
    EXPECT_GT(s.noise_bytes, 0u);
    EXPECT_EQ(rig.LogCount("has RTN 04"), 1);
    const auto rounds = rig.Rounds();
    // Round 1 took the repeated 42_41 (request 2); values are those of the good frames.
    EXPECT_FLOAT_EQ(AsFloat(rounds[0].snapshots[0].bytes), 53.0f);
    EXPECT_FLOAT_EQ(AsFloat(rounds[0].snapshots[1].bytes), 48.0f);
}

TEST(RuntimePty, AnswersInPiecesAndCutFramesAreReadWhole) {
    TempDir dir;
    // While a frame arrives the link rests until its bytes are due. An
    // answer in pieces slower than the line, and one cut short (its LENGTH
    // promises more than comes) followed by the whole one, are read all the
    // same, within the answer timeout.
    Rig rig(dir.Path(), [](const frame::Frame& req, int index) -> std::vector<Reply> {
        const std::string good = Plain(req, index)[0].bytes;
        if (index == 0) return {{good.substr(0, 1)}, {good.substr(1, 20), 60}, {good.substr(21), 150}};
        if (index == 1) return {{good.substr(0, good.size() - 9) + "\r"}, {good, 120}};
        return Plain(req, index);
    }, R"({"timeout_ms": 400})");
    rig.Start();
    ASSERT_TRUE(rig.WaitRounds(1));
    rig.Stop();
    const rt::LineStats s = rig.host->Stats();
    EXPECT_EQ(s.timeouts, 0u);
    EXPECT_EQ(s.bad_frames, 1u);
    const auto rounds = rig.Rounds();
    EXPECT_FLOAT_EQ(AsFloat(rounds[0].snapshots[0].bytes), 53.0f);
    EXPECT_FLOAT_EQ(AsFloat(rounds[0].snapshots[1].bytes), 48.0f);
}

TEST(RuntimePty, AnswerWithNothingOutstandingIsDropped) {
    TempDir dir;
    // Each 42_41 answer comes twice; the copy lands between rounds, while
    // the bus device waits for the next refresh.
    Rig rig(dir.Path(), [](const frame::Frame& req, int index) -> std::vector<Reply> {
        auto r = Plain(req, index);
        if (req.cid1 == 0x42) r.push_back({r[0].bytes, 60});
        return r;
    }, R"({"refresh_ms": 300})");
    rig.Start();
    ASSERT_TRUE(rig.WaitRounds(2));
    rig.Stop();
    const rt::LineStats s = rig.host->Stats();
    EXPECT_GE(s.stray_frames, 1u);
    EXPECT_EQ(s.late_frames, 0u);
    EXPECT_EQ(s.timeouts, 0u);
    EXPECT_GE(rig.LogCount("dropped an answer while no request was outstanding (CID1 42)"), 1);
}

TEST(RuntimePty, PortDisappearsAndComesBack) {
    TempDir dir;
    Rig rig(dir.Path(), Plain);
    rig.Start();
    ASSERT_TRUE(rig.WaitRounds(2));  // data-valid is 1 from here on
    rig.ps.Unplug();
    // Several reopen attempts fail meanwhile (50 to 200 ms apart).
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    const std::size_t roundsWhileAway = rig.Rounds().size();
    rig.ps.Plug();
    ASSERT_TRUE(rig.WaitRounds(roundsWhileAway + 2));
    rig.Stop();
    EXPECT_EQ(rig.LogCount("host: serial port " + rig.ps.Path() + " lost: "), 1);
    EXPECT_EQ(rig.LogCount("host: serial port " + rig.ps.Path() + " back after "), 1);
    EXPECT_EQ(rig.LogCount("cannot open"), 0);
    const rt::LineStats s = rig.host->Stats();
    EXPECT_EQ(s.port_losses, 1u);
    EXPECT_EQ(s.reopens, 1u);
    EXPECT_EQ(rig.Events(), (std::vector<std::string>{"1 alarm_begin 100 HIGH", "2 port_lost 100", "3 port_back 100"}));
    // After the loss data-valid went back to 0 until the next round end.
    bool clearedAgain = false;
    for (std::size_t i = 2; i < rig.bus->validSeen.size(); ++i)
        if (rig.bus->validSeen[i] == 0 && rig.bus->validSeen[i - 1] == 1) clearedAgain = true;
    EXPECT_TRUE(clearedAgain) << rig.LogText();
}

TEST(RuntimePty, PortMissingAtStartIsLoggedOnceAndOpenedLater) {
    TempDir dir;
    Rig rig(dir.Path(), Plain);
    rig.ps.Unplug();
    rig.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    rig.ps.Plug();
    ASSERT_TRUE(rig.WaitRounds(1));
    rig.Stop();
    EXPECT_EQ(rig.LogCount("cannot open serial port"), 1);
    EXPECT_EQ(rig.LogCount(" open, 9600 baud 8N1"), 1);
}

TEST(RuntimePty, SecondStartRestoresChildrenFromTheNewestSnapshot) {
    TempDir dir;
    float rcLast = 0, dcLast = 0;
    {
        Rig first(dir.Path(), Plain);
        first.Start();
        ASSERT_TRUE(first.WaitRounds(2));
        first.Stop();
        const auto rounds = first.Rounds();
        rcLast = AsFloat(rounds.back().snapshots[0].bytes);
        dcLast = AsFloat(rounds.back().snapshots[1].bytes);
        ASSERT_GT(rcLast, 53.0f);
    }
    Rig second(dir.Path(), Plain);
    EXPECT_EQ(second.restored, 2);
    EXPECT_EQ(second.bus->rc->restores, 1);
    EXPECT_EQ(second.bus->dc->restores, 1);
    EXPECT_FLOAT_EQ(second.bus->rc->Value(), rcLast);
    EXPECT_FLOAT_EQ(second.bus->dc->Value(), dcLast);
    EXPECT_FLOAT_EQ(second.bus->rc->Get_Value(100, "v"), rcLast);
    // The bus device itself still reads the first round in full.
    EXPECT_EQ(second.bus->DataValid(), 0);
    EXPECT_EQ(second.LogCount("host: restored 100 (fake-rc) from a saved snapshot of 4 bytes"), 1);
}

}  // namespace
}  // namespace rttest
