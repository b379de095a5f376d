// The AC device's three decoders, called in any order on a fresh device or
// on one already holding a valid round, each result compared with the
// layout's own count. A refused part (-1) changes nothing (a 40_43 breaker
// count above capacity is kept, as received); a taken part stores its
// values; the channel count, once learned, never changes; a round end
// publishes and saves exactly the records.
//
// Input: [setup] then ops of [kind][length][bytes...]; kind & 0x80 takes
// a 16-bit length.
#include "fuzz/support/check.h"
#include "fuzz/support/input.h"
#include "fuzz/support/oracle.h"
#include "fuzz/support/rig.h"

#include <cstring>

namespace {

using oracle::AcChan;
using oracle::AcRec;

constexpr std::size_t kAirlockNumAt = offsetof(AcRec, airlock_num);

void CheckValue(const unsigned char* wireBytes, const void* stored, float substitute, const char* what) {
    unsigned char want[4];
    if (wire::IsInvalidMarker(wireBytes))
        std::memcpy(want, &substitute, 4);
    else
        std::memcpy(want, wireBytes, 4);
    FUZZ_CHECK(fuzz::SameBytes(want, stored, 4), what, "not stored as received");
}

void CheckTaken40_41(const tvr27pkAC& ac, const rig::Bytes& b, int r) {
    const AcRec& rec = ac.Record();
    CheckValue(b.data() + r - 12, &rec.ia, wire::kInvalidSubstitute, "ia");
    CheckValue(b.data() + r - 4, &rec.ic, wire::kInvalidSubstitute, "ic");
    if (!ac.Channels().empty()) CheckValue(b.data() + 1, &ac.Channels()[0].a, 0.0f, "channel 0 a");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rig::QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    testhost::Host host;
    auto ac = rig::MakeAc(host, 11);
    const std::uint8_t setup = in.Byte();
    if (setup & 1) {
        const sim::Plant plant = rig::SamplePlant(1, 1 + (setup >> 1) % 3, 0, 0, setup);
        rig::PrimeAc(*ac, plant.ac[0]);
    }

    for (int ops = 0; !in.Empty() && ops < 64; ++ops) {
        const std::uint8_t kind = in.Byte();
        const std::size_t len = (kind & 0x80) ? in.Word() : in.Byte();
        const rig::Bytes b = in.Bytes(len);  // exactly the bytes handed over
        const int n = static_cast<int>(b.size());
        const rig::Bytes before = rig::StateOf(*ac);
        const std::size_t channelsBefore = ac->Channels().size();
        const int learned = channelsBefore > 0 ? ac->Record().channel_num : -1;

        int r = 0, want = 0;
        switch (kind % 4) {
            case 0:
                r = ac->parse40_41(b.data(), n);
                want = oracle::Ac40_41(b.data(), n, learned);
                break;
            case 1:
                r = ac->parse40_43(b.data(), n);
                want = oracle::Ac40_43(b.data(), n);
                break;
            case 2:
                r = ac->parse40_44(b.data(), n);
                want = oracle::Ac40_44(b.data(), n, static_cast<int>(channelsBefore));
                break;
            default: {
                host.ctl->Clear();
                ac->RoundDone();
                const rig::Bytes now = rig::StateOf(*ac);
                FUZZ_CHECK(host.ctl->published.size() == 1 && host.ctl->saved.size() == 1, "one snapshot");
                FUZZ_CHECK(host.ctl->published[0].bytes == now, "published image is the records");
                FUZZ_CHECK(host.ctl->saved[0].bytes == now, "saved image is the records");
                FUZZ_CHECK(ac->SnapshotLength() == static_cast<int>(sizeof(AcRec) + sizeof(AcChan) * channelsBefore),
                           "snapshot length");
                FUZZ_CHECK(ac->DataValid() == 1, "data valid after a round end");
                continue;
            }
        }
        FUZZ_CHECK(r == want, "kind", kind % 4, "len", n, "result", r, "want", want);
        FUZZ_CHECK(r == -1 || (r >= 0 && r <= n), "result within the part", r, n);
        FUZZ_CHECK(ac->Channels().size() == ac->Record().channel_num || ac->Channels().empty(),
                   "channel list matches channel_num");
        if (channelsBefore > 0)
            FUZZ_CHECK(ac->Channels().size() == channelsBefore, "learned channel count changed");

        if (r < 0) {
            rig::Bytes expect = before;
            // A breaker count above capacity is kept as received.
            if (kind % 4 == 1 && n >= 1 && b[0] > AcRec::AIRLOCK_MAX()) expect[kAirlockNumAt] = b[0];
            FUZZ_CHECK(rig::StateOf(*ac) == expect, "refused part changed the records, kind", kind % 4);
            continue;
        }
        switch (kind % 4) {
            case 0:
                if (channelsBefore == 0 && b[0] > 0)
                    FUZZ_CHECK(ac->Record().channel_num == b[0] && ac->Channels().size() == b[0],
                               "count learned from the first part");
                CheckTaken40_41(*ac, b, r);
                break;
            case 1:
                FUZZ_CHECK(ac->Record().airlock_num == b[0], "breaker count");
                FUZZ_CHECK(ac->Record().p40_43_num == b[1 + b[0]], "status count");
                break;
            case 2:
                FUZZ_CHECK(ac->Record().ia_alert == b[r - 3] && ac->Record().ic_alert == b[r - 1],
                           "current alarm states");
                if (!ac->Channels().empty()) FUZZ_CHECK(ac->Channels()[0].a_alert == b[1], "channel 0 state");
                break;
        }
    }
    return 0;
}
