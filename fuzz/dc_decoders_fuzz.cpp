// The DC device's two decoders, in any order on a fresh device or on one
// holding a valid round, each result compared with the layout's own count.
// A refused block (-1) changes nothing; a taken block stores what it
// carries; a round end publishes and saves exactly the record.
//
// Input: [setup] then ops of [kind][length][bytes...]; kind & 0x80 takes
// a 16-bit length.
#include "fuzz/support/check.h"
#include "fuzz/support/input.h"
#include "fuzz/support/oracle.h"
#include "fuzz/support/rig.h"

#include <algorithm>
#include <cstring>

namespace {

using oracle::DcRec;

void CheckTaken42_41(const tvr27pkDC& dc, const rig::Bytes& b, int r, int n) {
    const DcRec& rec = dc.Record();
    FUZZ_CHECK(fuzz::SameBytes(&rec.v, b.data(), 4) && fuzz::SameBytes(&rec.i, b.data() + 4, 4), "v and i");
    FUZZ_CHECK(rec.dc_m == b[8], "dc_m kept as received");
    if (rec.dc_m <= DcRec::M_SIZE() && rec.dc_m > 0)
        FUZZ_CHECK(fuzz::SameBytes(rec.m_value, b.data() + 9, 4u * rec.dc_m), "m values");
    if (r == n && rec.p_count > DcRec::P_SIZE()) return;  // the rest counted as consumed
    FUZZ_CHECK(rec.p_count == b[r - 1 - 4 * rec.p_count], "p_count kept as received");
}

void CheckTaken42_44(const tvr27pkDC& dc, const rig::Bytes& b) {
    const DcRec& rec = dc.Record();
    FUZZ_CHECK(rec.v_alert == b[0] && rec.alert_m_num == b[1], "v_alert and alert_m_num");
    const std::size_t m = std::min<std::size_t>(b[1], DcRec::ALERT_M_SIZE());
    FUZZ_CHECK(fuzz::SameBytes(rec.alert_m, b.data() + 2, m), "alarm bytes");
    FUZZ_CHECK(rec.alert_p_num == b[2 + b[1]], "alert_p_num kept as received");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rig::QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    testhost::Host host;
    auto dc = rig::MakeDc(host, 21);
    const std::uint8_t setup = in.Byte();
    if (setup & 1) rig::PrimeDc(*dc, rig::SamplePlant(0, 0, 1, 0, setup).dc[0]);

    for (int ops = 0; !in.Empty() && ops < 64; ++ops) {
        const std::uint8_t kind = in.Byte();
        const std::size_t len = (kind & 0x80) ? in.Word() : in.Byte();
        const rig::Bytes b = in.Bytes(len);
        const int n = static_cast<int>(b.size());
        const rig::Bytes before = rig::StateOf(*dc);

        int r = 0, want = 0;
        switch (kind % 3) {
            case 0:
                r = dc->parse42_41(b.data(), n);
                want = oracle::Dc42_41(b.data(), n);
                break;
            case 1:
                r = dc->parse42_44(b.data(), n);
                want = oracle::Dc42_44(b.data(), n);
                break;
            default: {
                host.ctl->Clear();
                dc->RoundDone();
                const rig::Bytes now = rig::StateOf(*dc);
                FUZZ_CHECK(host.ctl->published.size() == 1 && host.ctl->published[0].bytes == now,
                           "published image is the record");
                FUZZ_CHECK(host.ctl->saved.size() == 1 && host.ctl->saved[0].bytes == now,
                           "saved image is the record");
                FUZZ_CHECK(now.size() == sizeof(DcRec), "snapshot length");
                continue;
            }
        }
        FUZZ_CHECK(r == want, "kind", kind % 3, "len", n, "result", r, "want", want);
        FUZZ_CHECK(r == -1 || (r >= 0 && r <= n), "result within the block", r, n);
        if (r < 0) {
            FUZZ_CHECK(rig::StateOf(*dc) == before, "refused block changed the record, kind", kind % 3);
            continue;
        }
        if (kind % 3 == 0)
            CheckTaken42_41(*dc, b, r, n);
        else
            CheckTaken42_44(*dc, b);
    }
    return 0;
}
