#pragma once
// One line's round, complete (active alarms added): built once at the round
// end, then shared by every consumer (HTTP, its event stream, MQTT, the
// --json line) and never changed. Its text is written the first time some
// consumer asks for it, once, and shared too; a round nobody reads as text
// is never written.
#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace model {

class Round {
public:
    explicit Round(Json::Value tree) : tree_(std::move(tree)) {}
    Round(const Round&) = delete;
    Round& operator=(const Round&) = delete;

    // The round object (model::BuildRound + AddActiveAlarms).
    const Json::Value& Tree() const { return tree_; }
    // The round object as one line (rt::JsonLine); from any thread.
    const std::string& Text() const;
    // Whether Text has been asked for.
    bool HasText() const { return hasText_.load(std::memory_order_acquire); }

    std::uint32_t BusDataId() const { return tree_["bus"]["data_id"].asUInt(); }
    std::uint64_t Number() const { return tree_["round"].asUInt64(); }

private:
    const Json::Value tree_;
    mutable std::once_flag once_;
    mutable std::string text_;
    mutable std::atomic<bool> hasText_{false};
};

using RoundPtr = std::shared_ptr<const Round>;

}  // namespace model
