// Get_Value with arbitrary names on devices holding a round's data: the AC
// device (three channels), the DC device and the rectifier device; and on AC
// devices whose data is stale or not there yet. Every answer is compared
// with a lookup of this target's own, written from the naming rules: the
// six panel names, then the first "channel_<digits>_<one character>" found
// anywhere in the name (the character not a line end), the index checked
// before the letter; errors only as std::out_of_range with their fixed
// texts. Nothing else may leave Get_Value.
//
// Input: the name.
#include "fuzz/support/check.h"
#include "fuzz/support/rig.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

const std::string kNotReady = "数据未就绪";
const std::string kStale = "数据已超时";
const std::string kOutOfRange = "通道参数越界";
const std::string kNotProvided = "数据未提供";

struct Result {
    bool value;
    float v;
    std::string error;
};

template <typename Dev>
Result Ask(const Dev& d, const std::string& name) {
    try {
        return {true, d.Get_Value(0, name), {}};
    } catch (const std::out_of_range& e) {
        return {false, 0.0f, e.what()};
    }
}

// The lookup of a fresh AC device, from the rules alone.
Result AcLookup(const tvr27pkAC& ac, const std::string& name) {
    const auto& rec = ac.Record();
    if (name == "ia") return {true, rec.ia, {}};
    if (name == "ib") return {true, rec.ib, {}};
    if (name == "ic") return {true, rec.ic, {}};
    if (name == "ia_alert") return {true, static_cast<float>(rec.ia_alert), {}};
    if (name == "ib_alert") return {true, static_cast<float>(rec.ib_alert), {}};
    if (name == "ic_alert") return {true, static_cast<float>(rec.ic_alert), {}};
    static const std::string kPrefix = "channel_";
    for (std::size_t at = name.find(kPrefix); at != std::string::npos; at = name.find(kPrefix, at + 1)) {
        std::size_t k = at + kPrefix.size();
        const std::size_t digits = k;
        while (k < name.size() && name[k] >= '0' && name[k] <= '9') ++k;
        if (k == digits || k + 1 >= name.size() || name[k] != '_') continue;
        const char letter = name[k + 1];
        if (letter == '\n' || letter == '\r') continue;
        // Index: compared with the channel count without overflow.
        std::size_t index = 0;
        bool beyond = false;
        for (std::size_t j = digits; j < k && !beyond; ++j) {
            index = index * 10 + static_cast<std::size_t>(name[j] - '0');
            beyond = index >= ac.Channels().size();
        }
        if (beyond) return {false, 0.0f, kOutOfRange};
        const auto& ch = ac.Channels()[index];
        switch (letter) {
            case 'a': return {true, ch.a, {}};
            case 'b': return {true, ch.b, {}};
            case 'c': return {true, ch.c, {}};
            case 'f': return {true, ch.f, {}};
            default: return {false, 0.0f, kNotProvided};
        }
    }
    return {false, 0.0f, kNotProvided};
}

bool Same(const Result& a, const Result& b) {
    if (a.value != b.value) return false;
    if (!a.value) return a.error == b.error;
    return fuzz::SameBytes(&a.v, &b.v, 4);
}

struct Devices {
    Devices() {
        const sim::Plant plant = rig::SamplePlant(1, 3, 1, 4, 9);
        fresh = rig::MakeAc(host, 11);
        rig::PrimeAc(*fresh, plant.ac[0]);
        fresh->RoundDone();
        stale = rig::MakeAc(host, 12);
        rig::PrimeAc(*stale, plant.ac[0]);
        stale->RoundDone();
        never = rig::MakeAc(host, 13);
        rig::PrimeAc(*never, plant.ac[0]);
        dc = rig::MakeDc(host, 21);
        rig::PrimeDc(*dc, plant.dc[0]);
        dc->RoundDone();
        rc = rig::MakeRc(host, 100);
        rig::PrimeRc(*rc, plant);
        rc->RoundDone();
        host.ctl->Clear();
    }
    testhost::Host host;
    std::shared_ptr<tvr27pkAC> fresh, stale, never;
    std::shared_ptr<tvr27pkDC> dc;
    std::shared_ptr<tvr27pkRC> rc;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rig::QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Devices d;
    using boost::posix_time::second_clock;
    using boost::posix_time::seconds;
    const auto now = second_clock::local_time();
    d.fresh->SetLastUpdate(now);
    d.dc->SetLastUpdate(now);
    d.rc->SetLastUpdate(now);
    d.stale->SetLastUpdate(now - seconds(61));
    const std::string name(reinterpret_cast<const char*>(data), size);

    const Result got = Ask(*d.fresh, name);
    const Result want = AcLookup(*d.fresh, name);
    FUZZ_CHECK(Same(got, want), "AC", name, "gave", got.value ? std::to_string(got.v) : got.error, "want",
               want.value ? std::to_string(want.v) : want.error);

    const Result stale = Ask(*d.stale, name);
    FUZZ_CHECK(!stale.value && stale.error == kStale, "stale AC data answered", name);
    const Result never = Ask(*d.never, name);
    FUZZ_CHECK(!never.value && never.error == kNotReady, "AC data before any round end answered", name);

    const Result dc = Ask(*d.dc, name);
    if (name == "v" || name == "i") {
        const float v = name == "v" ? d.dc->Record().v : d.dc->Record().i;
        FUZZ_CHECK(dc.value && fuzz::SameBytes(&dc.v, &v, 4), "DC", name);
    } else {
        FUZZ_CHECK(!dc.value && dc.error == kNotReady, "DC answered", name, dc.error);
    }
    const Result rc = Ask(*d.rc, name);
    FUZZ_CHECK(!rc.value && rc.error == kNotReady, "rectifier device answered", name);
    return 0;
}
