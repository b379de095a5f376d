#pragma once
// The simulator's end of the serial line: a serial device set to raw 8N1 at
// a given speed, or a pseudo-terminal opened here whose other end the host
// connects to. Blocking POSIX I/O.
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

class SerialLine {
public:
    // Throws std::runtime_error with the reason.
    static SerialLine OpenDevice(const std::string& path, unsigned baud);
    static SerialLine OpenPty(unsigned baud);

    SerialLine(SerialLine&& other) noexcept;
    SerialLine& operator=(SerialLine&&) = delete;
    SerialLine(const SerialLine&) = delete;
    ~SerialLine();

    // The path the host opens: the pseudo-terminal's other end, or the device.
    const std::string& PeerPath() const { return peer_; }

    // The speed the line is set to now (on a pseudo-terminal: what the host
    // set on its end), 0 when it is not one of the known speeds.
    unsigned LineBaud() const;

    // Waits up to timeout_ms for received bytes; 0 on timeout or signal,
    // -1 on a read error (errno set).
    long Read(std::uint8_t* buf, std::size_t size, int timeout_ms);
    // Writes all bytes; with pace_baud > 0 one byte at a time at that line
    // rate (10 bits per byte). False on a write error.
    bool Write(const std::string& bytes, unsigned pace_baud, const volatile std::sig_atomic_t& stop);

private:
    SerialLine(int fd, int keep, std::string peer) : fd_(fd), keep_(keep), peer_(std::move(peer)) {}
    int fd_ = -1;
    int keep_ = -1;  // the pty's other end, held open so reads never see a hang-up
    std::string peer_;
};

// Whether a speed is one the serial driver knows.
bool KnownBaud(unsigned baud);

}  // namespace sim
