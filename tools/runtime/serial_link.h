#pragma once
// The serial line: opens the port with its settings, reads continuously,
// writes one frame at a time after discarding stale input, and treats every
// read or write error (EIO of an unplugged USB adapter included) as a lost
// port: close, report once, reopen with back-off, report the recovery once.
//
// A frame arriving at the line's pace costs a few wake-ups, not one per
// byte: when the receiver says how many bytes it still waits for, the link
// takes the port out of the io_context's poll set and rests until all but
// the last of them are due, reads what came, and waits for the rest as
// usual. A frame cut short is read at that time too.
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace rt {

struct LineSettings {
    std::string path;
    unsigned baud = 9600;
    unsigned data_bits = 8;
    char parity = 'N';  // 'N', 'E' or 'O'
    unsigned stop_bits = 1;
    std::chrono::milliseconds reopen_min{500};
    std::chrono::milliseconds reopen_max{8000};
};

// Raw bytes with the line's speed and frame format on an open terminal; a
// read returns whatever came. False with the reason when refused.
bool ConfigurePort(int fd, const LineSettings& settings, std::string& error);

class SerialLink {
public:
    struct Handlers {
        std::function<void(const std::uint8_t*, std::size_t)> received;
        std::function<void()> sending;  // right before a frame is written, input already flushed
        std::function<void()> up;       // the port is open (first time or again)
        std::function<void()> down;     // the port was lost and is closed
        std::function<void(const std::string&)> log;
        // Bytes the receiver still waits for after a delivery (0: none).
        std::function<std::size_t()> pending;
    };

    SerialLink(boost::asio::io_context& io, LineSettings settings, Handlers handlers);
    ~SerialLink();
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // Opens the port now or keeps trying with back-off.
    void Start();
    // Closes the port and stops trying; no handler is called afterwards.
    void Stop();
    bool IsOpen() const { return port_.is_open() || restingFd_ >= 0; }

    // Queues a frame. Before it is written, a read in flight is cancelled and
    // whatever it brought is discarded (it arrived before the request), and
    // the input the kernel holds is flushed. False when the port is closed.
    bool Send(std::string frame);

    std::uint64_t StaleBytes() const { return staleBytes_; }
    std::uint64_t Losses() const { return losses_; }
    std::uint64_t Reopens() const { return reopens_; }
    const std::string& Path() const { return settings_.path; }

private:
    bool TryOpen(std::string& error);
    void ScheduleOpen(std::chrono::milliseconds delay);
    void StartRead();
    // Reads after the receiver's pending bytes are due, or at once.
    void ReadNext();
    void Wake();  // the rest is over: the port is polled again
    void Pump();
    void Lost(const std::string& what);
    void Close();
    void Log(const std::string& text) const;

    boost::asio::io_context& io_;
    LineSettings settings_;
    Handlers handlers_;
    boost::asio::posix::stream_descriptor port_;
    boost::asio::steady_timer reopenTimer_;
    boost::asio::steady_timer restTimer_;
    std::chrono::nanoseconds byteTime_;
    int restingFd_ = -1;  // the port while it rests outside the poll set
    std::array<std::uint8_t, 512> buf_{};
    std::string tx_;   // frame waiting to be written
    std::string out_;  // frame being written
    bool reading_ = false;
    bool writing_ = false;
    bool cancelling_ = false;
    bool delivering_ = false;  // inside the received handler
    bool stopped_ = true;
    bool everOpen_ = false;
    bool openFailLogged_ = false;
    std::uint64_t gen_ = 0;  // bumped at every close: stale handlers see a new value
    std::chrono::milliseconds backoff_;
    std::chrono::steady_clock::time_point lostAt_;
    std::uint64_t staleBytes_ = 0;
    std::uint64_t losses_ = 0;
    std::uint64_t reopens_ = 0;
    std::uint64_t attempts_ = 0;
};

}  // namespace rt
