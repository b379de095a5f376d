// Get_Value with arbitrary names on devices holding a round's data: the AC
// device (three channels), the DC device and the rectifier device; and on AC
// devices whose data is stale or not there yet. Every answer is compared
// with a lookup of this target's own, written from the naming rules: the
// six panel names, then the first "channel_<digits>_<one character>" found
// anywhere in the name (the character not a line end), the index checked
// before the letter; errors only as std::out_of_range with their fixed
// texts. Nothing else may leave Get_Value.
//
// Every lookup runs on a thread with a 256 KiB stack, as a controller's host
// thread may have, so a recursion that grows with the name is found.
//
// Input: the name, where a byte 0xFF, a count k (1-255) and a character c
// stand for c repeated k × 1024 times (names of megabytes from a few input
// bytes; 0xFF with k = 0 is the byte 0xFF itself).
#include "fuzz/support/check.h"
#include "fuzz/support/rig.h"
#include "tests/support/small_stack.h"

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

std::string Expand(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kMaxName = 4u << 20;
    std::string name;
    for (std::size_t i = 0; i < size && name.size() < kMaxName; ++i) {
        if (data[i] == 0xFF && i + 2 < size && data[i + 1] != 0) {
            name.append(std::size_t{data[i + 1]} * 1024, static_cast<char>(data[i + 2]));
            i += 2;
        } else if (data[i] == 0xFF && i + 1 < size && data[i + 1] == 0) {
            name.push_back(static_cast<char>(0xFF));
            i += 1;
        } else {
            name.push_back(static_cast<char>(data[i]));
        }
    }
    return name;
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

// The name as a failure report shows it: long names cut.
std::string Shown(const std::string& name) {
    return name.size() <= 200 ? name : name.substr(0, 200) + "... (" + std::to_string(name.size()) + " bytes)";
}

// Every answer for one name (on the small-stack thread).
void Check(const Devices& d, const std::string& name) {
    const Result got = Ask(*d.fresh, name);
    const Result want = AcLookup(*d.fresh, name);
    FUZZ_CHECK(Same(got, want), "AC", Shown(name), "gave", got.value ? std::to_string(got.v) : got.error, "want",
               want.value ? std::to_string(want.v) : want.error);

    const Result stale = Ask(*d.stale, name);
    FUZZ_CHECK(!stale.value && stale.error == kStale, "stale AC data answered", Shown(name));
    const Result never = Ask(*d.never, name);
    FUZZ_CHECK(!never.value && never.error == kNotReady, "AC data before any round end answered", Shown(name));

    const Result dc = Ask(*d.dc, name);
    if (name == "v" || name == "i") {
        const float v = name == "v" ? d.dc->Record().v : d.dc->Record().i;
        FUZZ_CHECK(dc.value && fuzz::SameBytes(&dc.v, &v, 4), "DC", Shown(name));
    } else {
        FUZZ_CHECK(!dc.value && dc.error == kNotReady, "DC answered", Shown(name), dc.error);
    }
    const Result rc = Ask(*d.rc, name);
    FUZZ_CHECK(!rc.value && rc.error == kNotReady, "rectifier device answered", Shown(name));
}

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
    const std::string name = Expand(data, size);
    FUZZ_CHECK(testhost::RunOnStack(256 * 1024, [&] { Check(d, name); }), "no thread for the lookup");
    return 0;
}
