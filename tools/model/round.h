#pragma once
// One line's round, complete (active alarms added): taken at the round end,
// then shared by every consumer (HTTP, its event stream, MQTT, the --json
// line) and never changed. Its JSON text is written the first time some
// consumer asks for it, once, and shared too; a tree of it (for the views
// that walk one) likewise. A round nobody reads as text is never written.
#include "tools/model/round_data.h"

#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace model {

class Round {
public:
    explicit Round(RoundData data) : data_(std::move(data)) {}
    // A round known by its object (a recorded --json line, which may leave
    // parts out): its values as far as the object has them (RoundFromJson),
    // its text and tree the object's own.
    explicit Round(const Json::Value& object);
    Round(const Round&) = delete;
    Round& operator=(const Round&) = delete;

    const RoundData& Data() const { return data_; }
    // The round object as one line (the --json line); from any thread.
    const std::string& Text() const;
    // The round object as a tree, read back from Text (from any thread).
    const Json::Value& Tree() const;
    // The text of each snapshot's decoded fields, written once (Text and
    // the MQTT states share them).
    const std::vector<std::string>& SnapshotFields() const;
    // Whether Text has been asked for.
    bool HasText() const { return hasText_.load(std::memory_order_acquire); }

private:
    const RoundData data_;
    mutable std::once_flag textOnce_, treeOnce_, fieldsOnce_;
    mutable std::vector<std::string> fields_;
    mutable std::string text_;
    mutable Json::Value tree_;
    mutable std::atomic<bool> hasText_{false};
    const bool recorded_ = false;
};

using RoundPtr = std::shared_ptr<const Round>;

}  // namespace model
