#include "tools/runtime/shared_link.h"

#include <algorithm>

namespace rt {

SharedLink::SharedLink(boost::asio::io_context& io, LineSettings settings,
                       std::function<void(const std::string&)> log)
    : link_(io, std::move(settings),
            SerialLink::Handlers{
                [this](const std::uint8_t* p, std::size_t n) { Received(p, n); },
                [this] {
                    if (holder_ && slots_[*holder_].started && slots_[*holder_].handlers.sending)
                        slots_[*holder_].handlers.sending();
                },
                [this] {
                    for (Slot& s : slots_)
                        if (s.started && s.handlers.up) s.handlers.up();
                },
                [this] { Down(); },
                std::move(log),
                [this]() -> std::size_t {
                    const std::optional<Member> to = Receiver();
                    return to && slots_[*to].handlers.pending ? slots_[*to].handlers.pending() : 0;
                }}) {}

SharedLink::Member SharedLink::Join(SerialLink::Handlers handlers) {
    slots_.push_back(Slot{std::move(handlers), false, {}});
    return slots_.size() - 1;
}

void SharedLink::Start(Member m) {
    if (slots_[m].started) return;
    slots_[m].started = true;
    if (started_++ == 0) link_.Start();
}

void SharedLink::Stop(Member m) {
    Slot& s = slots_[m];
    if (!s.started) return;
    s.started = false;
    s.waiting.clear();
    turns_.erase(std::remove(turns_.begin(), turns_.end(), m), turns_.end());
    if (--started_ == 0) {
        holder_.reset();
        turns_.clear();
        link_.Stop();
        return;
    }
    if (holder_ == m) Done(m);
}

void SharedLink::Leave(Member m) {
    Stop(m);
    slots_[m].handlers = SerialLink::Handlers{};
    if (last_ == m) last_.reset();
}

bool SharedLink::Send(Member m, std::string frame) {
    if (!link_.IsOpen() || !slots_[m].started) return false;
    if (!holder_ || *holder_ == m) {
        holder_ = m;
        return link_.Send(std::move(frame));
    }
    if (slots_[m].waiting.empty() && std::find(turns_.begin(), turns_.end(), m) == turns_.end()) turns_.push_back(m);
    slots_[m].waiting = std::move(frame);
    return true;
}

void SharedLink::Done(Member m) {
    if (holder_ != m) return;
    last_ = m;
    holder_.reset();
    Next();
}

void SharedLink::Next() {
    while (!holder_ && !turns_.empty()) {
        const Member m = turns_.front();
        turns_.pop_front();
        Slot& s = slots_[m];
        if (!s.started || s.waiting.empty()) continue;
        holder_ = m;
        std::string frame = std::move(s.waiting);
        s.waiting.clear();
        if (!link_.Send(std::move(frame))) holder_.reset();
    }
}

std::optional<SharedLink::Member> SharedLink::Receiver() const {
    std::optional<Member> to = holder_ ? holder_ : last_;
    if (!to) {
        // Nothing asked yet: the first started member sees the bytes (and
        // counts them as stray).
        for (Member m = 0; m < slots_.size() && !to; ++m)
            if (slots_[m].started) to = m;
    }
    if (!to || !slots_[*to].started) return std::nullopt;
    return to;
}

void SharedLink::Received(const std::uint8_t* p, std::size_t n) {
    const std::optional<Member> to = Receiver();
    if (to && slots_[*to].handlers.received) slots_[*to].handlers.received(p, n);
}

void SharedLink::Down() {
    holder_.reset();
    turns_.clear();
    for (Slot& s : slots_) s.waiting.clear();
    for (Slot& s : slots_)
        if (s.started && s.handlers.down) s.handlers.down();
}

}  // namespace rt
