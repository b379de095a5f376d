#include "tools/model/signal_catalog.h"

#include <exception>
#include <stdexcept>

namespace model {
namespace {

constexpr int kMaxChannels = 64;
const char kOutOfRange[] = "通道参数越界";

bool EndsWith(const std::string& s, const std::string& t) {
    return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

Signal Read(const VNQVDevice& dev, const std::string& name) {
    Signal s;
    s.name = name;
    try {
        s.value = dev.Get_Value(dev.DataId(), name);
        s.ok = true;
    } catch (const std::exception& e) {
        s.error = e.what();
    }
    return s;
}

}  // namespace

std::vector<Signal> ReadSignals(const VNQVDevice& dev) {
    std::vector<Signal> out;
    const std::string& type = dev.DeviceType();
    if (EndsWith(type, "-ac")) {
        for (const char* n : {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert"}) out.push_back(Read(dev, n));
        if (!out.front().ok) return out;  // no data: the channel count is unknown
        for (int ch = 0; ch < kMaxChannels; ++ch) {
            const std::string prefix = "channel_" + std::to_string(ch) + "_";
            Signal a = Read(dev, prefix + "a");
            if (!a.ok && a.error == kOutOfRange) break;
            out.push_back(std::move(a));
            for (const char* l : {"b", "c", "f"}) out.push_back(Read(dev, prefix + l));
        }
    } else if (EndsWith(type, "-dc")) {
        out.push_back(Read(dev, "v"));
        out.push_back(Read(dev, "i"));
    } else {
        out.push_back(Read(dev, "v"));
    }
    return out;
}

}  // namespace model
