#include "common/child_device.h"

#include "host/ttime.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cstring>
#include <stdexcept>
#include <utility>

namespace {
boost::posix_time::ptime Now() { return boost::posix_time::second_clock::local_time(); }
}  // namespace

void ChildDevice::CheckFresh() const {
    if (dataValid_ != 1) throw std::out_of_range("数据未就绪");
    if (lastUpdate_.is_special()) throw std::out_of_range("数据已超时");
    const long long age = (Now() - lastUpdate_).total_seconds();
    if (age > 60) throw std::out_of_range("数据已超时");
}

void ChildDevice::TouchLastUpdate() { lastUpdate_ = Now(); }

void ChildDevice::StampTime(unsigned char* dst) {
    const ttime t = get_ttime(Now());
    std::memcpy(dst, &t, sizeof t);
}

void ChildDevice::HandOver(const unsigned char* image, std::size_t length) {
    const std::size_t n = pendingRules_.size();
    // The closure owns everything: one block for itself, one for the image.
    CheckThresholdWork([keepAlive = shared_from_this(), self = this,
                        rules = std::move(pendingRules_),
                        copy = std::vector<unsigned char>(image, image + length)] {
        const bool changed = self->DoBatchCheckThreshold(rules);
        self->thresholdResult_ = (changed || self->thresholdResult_ != 0) ? 1 : 0;
        self->SaveDeviceHistory(copy.data(), static_cast<unsigned>(copy.size()));
    });
    pendingRules_.clear();
    pendingRules_.reserve(n);
}

const std::string& NumberedText::operator()(std::size_t n) {
    while (texts_.size() < n) {
        texts_.push_back(std::string(prefix_) + std::to_string(texts_.size() + 1) + suffix_);
    }
    return texts_[n - 1];
}
