#include "bench/bench_host.h"

#include "bench/alloc_count.h"
#include "host/vnq_vdevice.h"

#include <atomic>

namespace bench {
namespace {
HostWork g_work = HostWork::kNone;
std::uint64_t g_calls = 0;  // single-threaded: a locked add would show in the round time
}  // namespace

void SetHostWork(HostWork w) { g_work = w; }
std::uint64_t WrappedCalls() { return g_calls; }

}  // namespace bench

// The linker sends the plug-in's calls of these host operations here
// (--wrap=<mangled name>); __real_<name> is the host's own. A member
// function takes its object as the first argument.
#define PMB_CTB _ZN10VNQVDevice18CheckThresholdBoolEiRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES7_S7_S7_bt
#define PMB_DBT _ZN10VNQVDevice21DoBatchCheckThresholdERKSt6vectorI10rule_valueSaIS1_EE
#define PMB_SDH _ZN10VNQVDevice17SaveDeviceHistoryEPKhj
#define PMB_CAT2(a, b) a##b
#define PMB_CAT(a, b) PMB_CAT2(a, b)

extern "C" {
void PMB_CAT(__real_, PMB_CTB)(VNQVDevice*, int, const std::string&, const std::string&, const std::string&,
                               const std::string&, bool, std::uint16_t);
bool PMB_CAT(__real_, PMB_DBT)(VNQVDevice*, const std::vector<rule_value>&);
void PMB_CAT(__real_, PMB_SDH)(VNQVDevice*, const unsigned char*, unsigned);

void PMB_CAT(__wrap_, PMB_CTB)(VNQVDevice* self, int level, const std::string& key, const std::string& id,
                               const std::string& name, const std::string& text, bool active,
                               std::uint16_t seq) {
    ++bench::g_calls;
    if (bench::g_work == bench::HostWork::kNone) return;
    bench::HostScope host;
    PMB_CAT(__real_, PMB_CTB)(self, level, key, id, name, text, active, seq);
}

bool PMB_CAT(__wrap_, PMB_DBT)(VNQVDevice* self, const std::vector<rule_value>& rules) {
    ++bench::g_calls;
    if (bench::g_work == bench::HostWork::kNone) return false;
    bench::HostScope host;
    return PMB_CAT(__real_, PMB_DBT)(self, rules);
}

void PMB_CAT(__wrap_, PMB_SDH)(VNQVDevice* self, const unsigned char* data, unsigned length) {
    ++bench::g_calls;
    if (bench::g_work == bench::HostWork::kNone) return;
    bench::HostScope host;
    PMB_CAT(__real_, PMB_SDH)(self, data, length);
}
}
