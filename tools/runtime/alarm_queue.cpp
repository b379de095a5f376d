#include "tools/runtime/alarm_queue.h"

#include <algorithm>
#include <cstring>

namespace rt {
namespace {

// Room past which the consumed front is cut off while rows still wait.
constexpr std::size_t kCompactFrom = 64 * 1024;

void PutU32(std::string& out, std::uint32_t v) {
    char b[4];
    std::memcpy(b, &v, 4);
    out.append(b, 4);
}

void PutText(std::string& out, const std::string& s) {
    PutU32(out, static_cast<std::uint32_t>(s.size()));
    out += s;
}

// Reads what PutU32 and PutText wrote, never past end.
struct Reader {
    const char* p;
    const char* end;
    std::uint32_t U32() {
        std::uint32_t v = 0;
        if (end - p >= 4) std::memcpy(&v, p, 4);
        p += end - p >= 4 ? 4 : end - p;
        return v;
    }
    std::string Text() {
        const std::uint32_t n = U32();
        const std::size_t take = std::min<std::size_t>(n, static_cast<std::size_t>(end - p));
        std::string s(p, take);
        p += take;
        return s;
    }
};

}  // namespace

bool AlarmQueue::Push(const AlarmRow& row) {
    bool dropped = false;
    if (max_ && count_ >= max_) {
        Pop();
        dropped = true;
    }
    const std::size_t at = buf_.size();
    PutU32(buf_, 0);  // the row's length, set below
    PutText(buf_, row.time);
    PutU32(buf_, row.data_id);
    PutText(buf_, row.rule_key);
    PutU32(buf_, row.seq);
    PutText(buf_, row.alarm_id);
    PutU32(buf_, static_cast<std::uint32_t>(row.level));
    PutText(buf_, row.name);
    PutText(buf_, row.text);
    PutU32(buf_, row.begin ? 1 : 0);
    PutU32(buf_, row.bus_id);
    const auto length = static_cast<std::uint32_t>(buf_.size() - at);
    std::memcpy(&buf_[at], &length, 4);
    ++count_;
    return dropped;
}

AlarmRow AlarmQueue::Front() const {
    AlarmRow row;
    if (!count_) return row;
    Reader r{buf_.data() + head_, buf_.data() + buf_.size()};
    const std::uint32_t length = r.U32();
    r.end = buf_.data() + head_ + std::min<std::size_t>(length, buf_.size() - head_);
    row.time = r.Text();
    row.data_id = r.U32();
    row.rule_key = r.Text();
    row.seq = r.U32();
    row.alarm_id = r.Text();
    row.level = static_cast<int>(r.U32());
    row.name = r.Text();
    row.text = r.Text();
    row.begin = r.U32() != 0;
    row.bus_id = r.U32();
    return row;
}

void AlarmQueue::Pop() {
    if (!count_) return;
    std::uint32_t length = 0;
    std::memcpy(&length, buf_.data() + head_, 4);
    head_ += length;
    if (--count_ == 0) {
        std::string().swap(buf_);
        head_ = 0;
    } else if (head_ >= kCompactFrom && head_ * 2 >= buf_.size()) {
        buf_.erase(0, head_);
        head_ = 0;
    }
}

}  // namespace rt
