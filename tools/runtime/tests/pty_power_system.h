#pragma once
// A scripted power system on the far end of a pseudo-terminal. The runtime
// opens `Path()`, a symlink to the pty's slave side, the way a site points
// at a udev name of its USB adapter; Unplug and Plug make the port vanish
// (EIO on the runtime's side, then no such file) and come back as a new pty.
#include "host/frame_codec.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rttest {

struct Reply {
    std::string bytes;  // sent as they stand
    int delay_ms = 0;   // after the request was read
};

// Replies to one request; index counts the requests read so far (0, 1, ...).
using Script = std::function<std::vector<Reply>(const frame::Frame& request, int index)>;

class PtyPowerSystem {
public:
    PtyPowerSystem(const std::string& dir, Script script);
    ~PtyPowerSystem();

    const std::string& Path() const { return link_; }
    void Unplug();
    void Plug();
    // Bytes sent at once, not in answer to a request.
    void SendRaw(const std::string& bytes);

    std::vector<frame::Frame> Requests() const;
    int RequestCount() const;

private:
    void Open();
    void Loop();

    std::string link_;
    Script script_;
    mutable std::mutex mutex_;
    int master_ = -1;
    int slave_ = -1;
    frame::FrameDecoder decoder_;
    std::vector<frame::Frame> requests_;
    struct Due {
        std::chrono::steady_clock::time_point at;
        std::string bytes;
    };
    std::vector<Due> due_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// An answer frame: VER 0x21 unless given, ADR 1.
std::string AnswerFrame(std::uint8_t cid1, const std::vector<std::uint8_t>& info, std::uint8_t rtn = 0,
                        std::uint8_t ver = 0x21, std::uint8_t adr = 1);
std::vector<std::uint8_t> Float(float f);

}  // namespace rttest
