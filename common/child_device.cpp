#include "common/child_device.h"

#include "host/ttime.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cstring>
#include <memory>
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

// The work item of one round end. It owns its block: a copy of the item
// gets a copy of the block, and each block goes back to the device when its
// item is destroyed. The device is kept alive until then (keepAlive_ is
// destroyed after the destructor's body has returned the block).
class ChildDevice::RoundWork {
public:
    RoundWork(std::shared_ptr<VNQVDevice> keepAlive, ChildDevice* self, HandOverBlock* block)
        : keepAlive_(std::move(keepAlive)), self_(self), block_(block) {}
    RoundWork(const RoundWork& o)
        : keepAlive_(o.keepAlive_), self_(o.self_), block_(o.block_ ? new HandOverBlock(*o.block_) : nullptr) {}
    RoundWork(RoundWork&& o) noexcept
        : keepAlive_(std::move(o.keepAlive_)), self_(o.self_), block_(o.block_) {
        o.block_ = nullptr;
    }
    RoundWork& operator=(const RoundWork&) = delete;
    RoundWork& operator=(RoundWork&&) = delete;
    ~RoundWork() {
        if (block_) self_->Recycle(block_);
    }

    void operator()() const {
        const bool changed = self_->DoBatchCheckThreshold(block_->rules);
        self_->thresholdResult_ = (changed || self_->thresholdResult_ != 0) ? 1 : 0;
        self_->SaveDeviceHistory(block_->image.data(), static_cast<unsigned>(block_->image.size()));
    }

private:
    std::shared_ptr<VNQVDevice> keepAlive_;
    ChildDevice* self_;
    HandOverBlock* block_;
};

ChildDevice::~ChildDevice() { delete spare_.exchange(nullptr); }

void ChildDevice::Recycle(HandOverBlock* block) {
    // The strings of the evaluated rules go; the list keeps its capacity.
    block->rules.clear();
    delete spare_.exchange(block);
}

void ChildDevice::HandOver(const unsigned char* image, std::size_t length) {
    std::shared_ptr<VNQVDevice> keepAlive = shared_from_this();
    const std::size_t n = pendingRules_.size();
    std::unique_ptr<HandOverBlock> block(spare_.exchange(nullptr));
    if (!block) block.reset(new HandOverBlock);
    block->image.assign(image, image + length);
    // The block takes this round's rules; the pending list takes the block's
    // emptied list, which has the room of an earlier round.
    block->rules.swap(pendingRules_);
    pendingRules_.clear();
    if (pendingRules_.capacity() < n) pendingRules_.reserve(n);
    RoundWork work(std::move(keepAlive), this, block.release());
    CheckThresholdWork(std::move(work));
}

const std::string& NumberedText::operator()(std::size_t n) {
    while (texts_.size() < n) {
        texts_.push_back(std::string(prefix_) + std::to_string(texts_.size() + 1) + suffix_);
    }
    return texts_[n - 1];
}
