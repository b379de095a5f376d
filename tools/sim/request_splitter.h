#pragma once
// Cuts the received byte stream into frame bodies: the characters between a
// '~' and the next CR. Bytes outside frames are counted and dropped; a '~'
// inside an open frame starts a new one; a body longer than any frame can
// be is dropped. The bodies are checked by frame::DecodeBody.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class RequestSplitter {
public:
    void Feed(const std::uint8_t* data, std::size_t length, std::vector<std::string>& bodies);
    std::size_t NoiseBytes() const { return noise_; }
    std::size_t Overlong() const { return overlong_; }

private:
    enum class State { hunt, body, discard };
    State state_ = State::hunt;
    std::string body_;
    std::size_t noise_ = 0;
    std::size_t overlong_ = 0;
};

}  // namespace sim
