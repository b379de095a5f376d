#include "tools/runtime/worker.h"

#include <exception>

namespace rt {

Worker::Worker(std::function<void(const std::string&)> on_error)
    : onError_(std::move(on_error)), thread_([this] { Loop(); }) {}

Worker::~Worker() { Stop(); }

void Worker::Post(std::function<void()> item) {
    if (!item) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        items_.push_back(std::move(item));
    }
    cv_.notify_one();
}

void Worker::Drain() {
    if (OnWorkerThread()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return items_.empty() && !busy_; });
}

void Worker::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable() && !OnWorkerThread()) thread_.join();
}

void Worker::Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return stopping_ || !items_.empty(); });
        if (items_.empty()) break;  // stopping and nothing left
        std::function<void()> item = std::move(items_.front());
        items_.pop_front();
        busy_ = true;
        lock.unlock();
        try {
            item();
        } catch (const std::exception& e) {
            if (onError_) onError_(e.what());
        } catch (...) {
            if (onError_) onError_("unknown exception");
        }
        item = nullptr;  // release what the item holds before reporting idle
        lock.lock();
        busy_ = false;
        if (items_.empty()) idle_.notify_all();
    }
    busy_ = false;
    idle_.notify_all();
}

}  // namespace rt
