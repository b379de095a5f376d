// The rectifier device's five decoders, in any order on a fresh device or
// on one holding a valid round, each result compared with the layout's own
// count. The module count is adopted once and only from a 41_41 answer that
// fits; the module list always holds channel_num records; a round end
// publishes and saves exactly the records. (A refused answer may keep the
// fields read before the point of refusal, so only the count is checked
// there.)
//
// Input: [setup] then ops of [kind][length][bytes...]; kind & 0x80 takes
// a 16-bit length.
#include "fuzz/support/check.h"
#include "fuzz/support/input.h"
#include "fuzz/support/oracle.h"
#include "fuzz/support/rig.h"

#include <cstring>

namespace {
using oracle::RcChan;
using oracle::RcRec;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rig::QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    testhost::Host host;
    auto rc = rig::MakeRc(host, 100);
    const std::uint8_t setup = in.Byte();
    if (setup & 1) rig::PrimeRc(*rc, rig::SamplePlant(0, 0, 0, 1 + (setup >> 1) % 12, setup));

    for (int ops = 0; !in.Empty() && ops < 64; ++ops) {
        const std::uint8_t kind = in.Byte();
        const std::size_t len = (kind & 0x80) ? in.Word() : in.Byte();
        const rig::Bytes b = in.Bytes(len);
        const int n = static_cast<int>(b.size());
        const std::size_t modules = rc->Channels().size();
        const int adopted = modules > 0 ? rc->Record().channel_num : -1;
        const rig::Bytes before = rig::StateOf(*rc);

        int r = 0, want = 0;
        bool mayExceed = false;  // 40_46 and 42_46 may claim bytes the answer lacks
        switch (kind % 6) {
            case 0:
                r = rc->parse41_41(b.data(), n);
                want = oracle::Rc41_41(b.data(), n, adopted);
                break;
            case 1:
                r = rc->parse41_43(b.data(), n);
                want = oracle::Rc41_43(b.data(), n, static_cast<int>(modules));
                break;
            case 2:
                r = rc->parse41_44(b.data(), n);
                want = oracle::Rc41_44(b.data(), n, static_cast<int>(modules));
                break;
            case 3:
                r = rc->parse40_46(b.data(), n);
                want = oracle::Rc40_46(b.data(), n);
                mayExceed = true;
                break;
            case 4:
                r = rc->parse42_46(b.data(), n);
                want = oracle::Rc42_46(b.data(), n);
                mayExceed = true;
                break;
            default: {
                host.ctl->Clear();
                rc->RoundDone();
                const rig::Bytes now = rig::StateOf(*rc);
                FUZZ_CHECK(host.ctl->published.size() == 1 && host.ctl->published[0].bytes == now,
                           "published image is the records");
                FUZZ_CHECK(host.ctl->saved.size() == 1 && host.ctl->saved[0].bytes == now,
                           "saved image is the records");
                FUZZ_CHECK(rc->SnapshotLength() == sizeof(RcRec) + sizeof(RcChan) * modules, "snapshot length");
                FUZZ_CHECK(host.ctl->rules.size() == modules, "one fault rule per module");
                continue;
            }
        }
        FUZZ_CHECK(r == want, "kind", kind % 6, "len", n, "result", r, "want", want);
        FUZZ_CHECK(r >= -1 && (mayExceed || r <= n), "result within the answer", r, n);
        FUZZ_CHECK(rc->Channels().size() == rc->Record().channel_num, "module list matches channel_num");
        if (modules > 0) FUZZ_CHECK(rc->Channels().size() == modules, "adopted module count changed");
        if (kind % 6 == 0 && modules == 0 && r < 0)
            FUZZ_CHECK(rc->Channels().empty(), "count adopted from an answer that did not fit");
        if (r < 0) {
            // Nothing past the fields read before the refusal; the module
            // records never grow or shrink.
            FUZZ_CHECK(rig::StateOf(*rc).size() == before.size(), "refused answer resized the records");
            continue;
        }
        if (kind % 6 == 0) {
            FUZZ_CHECK(fuzz::SameBytes(rc->Record().group_value, b.data() + 1, 4), "group value");
            FUZZ_CHECK(rc->Record().channel_num == b[5], "module count");
        }
        if (kind % 6 == 3) FUZZ_CHECK(fuzz::SameBytes(rc->Record().p40_46, b.data(), 20), "40_46 values");
    }
    return 0;
}
