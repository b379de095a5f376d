#pragma once
// The host's worker thread: runs the devices' end-of-round work items (and
// anything else posted) one after another, in the order posted.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace rt {

class Worker {
public:
    // on_error receives the text of an exception thrown by an item.
    explicit Worker(std::function<void(const std::string&)> on_error = {});
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void Post(std::function<void()> item);
    // Waits until every item posted so far has run.
    void Drain();
    // Runs what is queued, then ends the thread. Later posts are dropped.
    void Stop();
    bool OnWorkerThread() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    void Loop();

    std::function<void(const std::string&)> onError_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> items_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace rt
