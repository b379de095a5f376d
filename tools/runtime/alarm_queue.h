#pragma once
// Alarm events waiting for the history store while it cannot write (a full
// disk, its file gone): packed one after the other in a single buffer, a
// few dozen bytes each, and the buffer given back once drained. Kept as
// rows of their own, a long outage's backlog was thousands of small blocks
// spread over the heap between longer-lived ones, and stayed resident
// after it was written.
#include <cstddef>
#include <cstdint>
#include <string>

namespace rt {

struct AlarmRow {
    std::string time;
    std::uint32_t data_id = 0;
    std::string rule_key;
    std::uint32_t seq = 0;
    std::string alarm_id;
    int level = 0;
    std::string name;
    std::string text;
    bool begin = false;
    std::uint32_t bus_id = 0;  // the line's bus device
};

// First in, first out, at most max rows (the oldest goes first).
class AlarmQueue {
public:
    explicit AlarmQueue(std::size_t max) : max_(max) {}
    // Adds row at the back; true when the oldest was dropped for it.
    bool Push(const AlarmRow& row);
    bool Empty() const { return count_ == 0; }
    std::size_t Size() const { return count_; }
    AlarmRow Front() const;
    void Pop();

private:
    std::string buf_;       // rows from head_ on, each its length and fields
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    std::size_t max_;
};

}  // namespace rt
