// LoadFromCache of each child with arbitrary bytes, on a fresh device or on
// one holding a valid round, then a round end and Get_Value. An image is
// taken exactly when its length fits the count it carries; a refused image
// changes nothing (records, data-valid byte, last-update time); a taken one
// becomes the records byte for byte, marks the data valid, and the next
// round end publishes and saves it unchanged but for the time stamp.
//
// Input: [child and setup] [image...].
#include "fuzz/support/check.h"
#include "fuzz/support/input.h"
#include "fuzz/support/oracle.h"
#include "fuzz/support/rig.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

using namespace oracle;

// Bytes of the 7-byte time record inside each image.
constexpr std::size_t kAcTime = offsetof(AcRec, ttime);
constexpr std::size_t kDcTime = offsetof(DcRec, ttime);
constexpr std::size_t kRcTime = offsetof(RcRec, ttime);

struct Before {
    rig::Bytes state;
    std::uint8_t valid;
    boost::posix_time::ptime last;
};

template <typename Dev>
Before Take(const Dev& d) {
    return {rig::StateOf(d), d.DataValid(), d.LastUpdate()};
}

template <typename Dev>
void CheckRefused(const Dev& d, const Before& b) {
    FUZZ_CHECK(rig::StateOf(d) == b.state, "refused image changed the records");
    FUZZ_CHECK(d.DataValid() == b.valid, "refused image changed the data-valid byte");
    FUZZ_CHECK(d.LastUpdate() == b.last, "refused image changed the last-update time");
}

template <typename Dev>
void CheckTaken(const Dev& d, const rig::Bytes& image) {
    FUZZ_CHECK(rig::StateOf(d) == image, "taken image is not the records");
    FUZZ_CHECK(d.DataValid() == 1, "taken image leaves the data invalid");
}

// The round end publishes and saves the records as restored, the time stamp aside.
template <typename Dev>
void CheckRoundEnd(Dev& d, testhost::Host& host, const rig::Bytes& image, std::size_t timeAt) {
    host.ctl->Clear();
    d.RoundDone();
    FUZZ_CHECK(host.ctl->published.size() == 1 && host.ctl->saved.size() == 1, "one snapshot");
    rig::Bytes got = host.ctl->published[0].bytes;
    FUZZ_CHECK(host.ctl->saved[0].bytes == got, "saved image differs from the published one");
    FUZZ_CHECK(got.size() == image.size(), "snapshot length", got.size(), image.size());
    rig::Bytes want = image;
    std::memcpy(want.data() + timeAt, got.data() + timeAt, 7);
    FUZZ_CHECK(got == want, "snapshot differs from the restored image");
}

// Get_Value answers or throws std::out_of_range, nothing else.
template <typename Dev>
bool Answers(const Dev& d, const std::string& name, float& out) {
    try {
        out = d.Get_Value(0, name);
        return true;
    } catch (const std::out_of_range&) {
        return false;
    }
}

bool SameBits(float a, const void* stored) { return fuzz::SameBytes(&a, stored, 4); }

void RunAc(testhost::Host& host, bool primed, const rig::Bytes& image) {
    auto ac = rig::MakeAc(host, 11);
    if (primed) rig::PrimeAc(*ac, rig::SamplePlant(1, 2, 0, 0, 5).ac[0]);
    const Before b = Take(*ac);
    const int n = static_cast<int>(image.size());
    const bool fits = n > static_cast<int>(sizeof(AcRec)) &&
                      n - static_cast<int>(sizeof(AcRec)) == static_cast<int>(sizeof(AcChan)) * image[16];
    const bool ok = ac->LoadFromCache(image.data(), n);
    FUZZ_CHECK(ok == fits, "AC image of", n, "bytes, count", n > 16 ? image[16] : -1, "taken", ok);
    if (!ok) return CheckRefused(*ac, b);
    CheckTaken(*ac, image);
    float v = 0;
    FUZZ_CHECK(Answers(*ac, "ia", v) && SameBits(v, image.data() + offsetof(AcRec, ia)), "ia after restore");
    const unsigned last = image[16] - 1u;
    FUZZ_CHECK(Answers(*ac, "channel_" + std::to_string(last) + "_c", v) &&
                   SameBits(v, image.data() + sizeof(AcRec) + sizeof(AcChan) * last + offsetof(AcChan, c)),
               "last channel after restore");
    FUZZ_CHECK(!Answers(*ac, "channel_" + std::to_string(last + 1) + "_a", v), "channel past the count");
    CheckRoundEnd(*ac, host, image, kAcTime);
}

void RunDc(testhost::Host& host, bool primed, const rig::Bytes& image) {
    auto dc = rig::MakeDc(host, 21);
    if (primed) rig::PrimeDc(*dc, rig::SamplePlant(0, 0, 1, 0, 5).dc[0]);
    const Before b = Take(*dc);
    const bool ok = dc->LoadFromCache(image.data(), static_cast<int>(image.size()));
    FUZZ_CHECK(ok == (image.size() == sizeof(DcRec)), "DC image of", image.size(), "bytes, taken", ok);
    if (!ok) return CheckRefused(*dc, b);
    CheckTaken(*dc, image);
    float v = 0;
    FUZZ_CHECK(Answers(*dc, "v", v) && SameBits(v, image.data() + offsetof(DcRec, v)), "v after restore");
    FUZZ_CHECK(Answers(*dc, "i", v) && SameBits(v, image.data() + offsetof(DcRec, i)), "i after restore");
    CheckRoundEnd(*dc, host, image, kDcTime);
}

void RunRc(testhost::Host& host, bool primed, const rig::Bytes& image) {
    auto rc = rig::MakeRc(host, 100);
    if (primed) rig::PrimeRc(*rc, rig::SamplePlant(0, 0, 0, 12, 5));
    const Before b = Take(*rc);
    const int n = static_cast<int>(image.size());
    const bool fits = n >= static_cast<int>(sizeof(RcRec)) &&
                      n - static_cast<int>(sizeof(RcRec)) ==
                          static_cast<int>(sizeof(RcChan)) * image[offsetof(RcRec, channel_num)];
    const bool ok = rc->LoadFromCache(image.data(), n);
    FUZZ_CHECK(ok == fits, "RC image of", n, "bytes, taken", ok);
    if (!ok) return CheckRefused(*rc, b);
    CheckTaken(*rc, image);
    float v = 0;
    FUZZ_CHECK(!Answers(*rc, "anything", v), "the rectifier device answers no name");
    CheckRoundEnd(*rc, host, image, kRcTime);
    FUZZ_CHECK(host.ctl->rules.size() == image[offsetof(RcRec, channel_num)], "one rule per restored module");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rig::QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t sel = in.Byte();
    const rig::Bytes image = in.Rest();
    testhost::Host host;
    const bool primed = (sel & 0x10) != 0;
    switch (sel % 3) {
        case 0: RunAc(host, primed, image); break;
        case 1: RunDc(host, primed, image); break;
        default: RunRc(host, primed, image); break;
    }
    return 0;
}
