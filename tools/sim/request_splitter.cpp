#include "tools/sim/request_splitter.h"

#include "host/frame_codec.h"

namespace sim {

void RequestSplitter::Feed(const std::uint8_t* data, std::size_t length, std::vector<std::string>& bodies) {
    for (std::size_t k = 0; k < length; ++k) {
        const char c = static_cast<char>(data[k]);
        if (c == frame::kSoi) {
            state_ = State::body;
            body_.clear();
            continue;
        }
        switch (state_) {
            case State::hunt:
                ++noise_;
                break;
            case State::discard:
                if (c == frame::kEoi) state_ = State::hunt;
                break;
            case State::body:
                if (c == frame::kEoi) {
                    bodies.push_back(body_);
                    body_.clear();
                    state_ = State::hunt;
                } else if (body_.size() >= frame::kMaxBodyChars) {
                    ++overlong_;
                    body_.clear();
                    state_ = State::discard;
                } else {
                    body_.push_back(c);
                }
                break;
        }
    }
}

}  // namespace sim
