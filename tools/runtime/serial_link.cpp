#include "tools/runtime/serial_link.h"

#include <boost/asio/serial_port_base.hpp>
#include <boost/asio/write.hpp>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace rt {

namespace asio = boost::asio;
using boost::system::error_code;

bool ConfigurePort(int fd, const LineSettings& settings, std::string& error) {
    // Raw bytes, the line's settings, a read returns whatever came.
    using SP = asio::serial_port_base;
    const SP::parity::type parity = settings.parity == 'E'   ? SP::parity::even
                                    : settings.parity == 'O' ? SP::parity::odd
                                                              : SP::parity::none;
    termios tio{};
    error_code ec;
    if (::tcgetattr(fd, &tio) != 0) ec = error_code(errno, boost::system::system_category());
    if (!ec) {
        ::cfmakeraw(&tio);
        tio.c_iflag |= IGNPAR;
        tio.c_cflag |= CREAD | CLOCAL;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        SP::baud_rate(settings.baud).store(tio, ec);
    }
    if (!ec) SP::character_size(settings.data_bits).store(tio, ec);
    if (!ec) SP::parity(parity).store(tio, ec);
    if (!ec) SP::stop_bits(settings.stop_bits == 2 ? SP::stop_bits::two : SP::stop_bits::one).store(tio, ec);
    if (!ec) SP::flow_control(SP::flow_control::none).store(tio, ec);
    if (!ec && ::tcsetattr(fd, TCSANOW, &tio) != 0) ec = error_code(errno, boost::system::system_category());
    if (ec) error = "settings refused: " + ec.message();
    return !ec;
}

SerialLink::SerialLink(asio::io_context& io, LineSettings settings, Handlers handlers)
    : io_(io),
      settings_(std::move(settings)),
      handlers_(std::move(handlers)),
      port_(io),
      reopenTimer_(io),
      restTimer_(io),
      // Start bit, data bits, parity bit, stop bits.
      byteTime_(std::chrono::nanoseconds(1000000000ull *
                                         (1 + settings_.data_bits + (settings_.parity == 'N' ? 0 : 1) +
                                          settings_.stop_bits) /
                                         std::max(settings_.baud, 1u))),
      backoff_(settings_.reopen_min) {}

SerialLink::~SerialLink() {
    stopped_ = true;
    error_code ec;
    reopenTimer_.cancel(ec);
    restTimer_.cancel(ec);
    if (restingFd_ >= 0) ::close(restingFd_);
    if (port_.is_open()) port_.close(ec);
}

void SerialLink::Log(const std::string& text) const {
    if (handlers_.log) handlers_.log(text);
}

void SerialLink::Start() {
    stopped_ = false;
    ScheduleOpen(std::chrono::milliseconds(0));
}

void SerialLink::Stop() {
    stopped_ = true;
    error_code ec;
    reopenTimer_.cancel(ec);
    Close();
}

void SerialLink::Close() {
    ++gen_;
    reading_ = writing_ = cancelling_ = delivering_ = false;
    tx_.clear();
    out_.clear();
    error_code ec;
    restTimer_.cancel(ec);
    if (restingFd_ >= 0) ::close(restingFd_);
    restingFd_ = -1;
    if (port_.is_open()) port_.close(ec);
}

bool SerialLink::TryOpen(std::string& error) {
    const int fd = ::open(settings_.path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = error_code(errno, boost::system::system_category()).message();
        return false;
    }
    error_code ec;
    if (ConfigurePort(fd, settings_, error)) port_.assign(fd, ec);
    if (!error.empty() || ec) {
        if (error.empty()) error = "cannot use the port: " + ec.message();
        ::close(fd);
        return false;
    }
    ::tcflush(fd, TCIOFLUSH);
    return true;
}

void SerialLink::ScheduleOpen(std::chrono::milliseconds delay) {
    reopenTimer_.expires_after(delay);
    reopenTimer_.async_wait([this](const error_code& ec) {
        if (ec || stopped_) return;
        ++attempts_;
        std::string error;
        if (!TryOpen(error)) {
            if (!everOpen_ && !openFailLogged_) {
                Log("host: cannot open serial port " + settings_.path + ": " + error + "; retrying");
                openFailLogged_ = true;
            }
            const auto next = backoff_;
            backoff_ = std::min(backoff_ * 2, settings_.reopen_max);
            ScheduleOpen(next);
            return;
        }
        if (!everOpen_) {
            Log("host: serial port " + settings_.path + " open, " + std::to_string(settings_.baud) + " baud " +
                std::to_string(settings_.data_bits) + settings_.parity + std::to_string(settings_.stop_bits));
        } else {
            ++reopens_;
            const std::chrono::duration<double> away = std::chrono::steady_clock::now() - lostAt_;
            char secs[32];
            std::snprintf(secs, sizeof secs, "%.1f", away.count());
            Log("host: serial port " + settings_.path + " back after " + secs + " s, " + std::to_string(attempts_) +
                " attempts");
        }
        everOpen_ = true;
        attempts_ = 0;
        backoff_ = settings_.reopen_min;
        StartRead();
        if (handlers_.up) handlers_.up();
    });
}

void SerialLink::Lost(const std::string& what) {
    if (!IsOpen()) return;
    Close();
    ++losses_;
    lostAt_ = std::chrono::steady_clock::now();
    attempts_ = 0;
    Log("host: serial port " + settings_.path + " lost: " + what + "; reopening");
    if (handlers_.down) handlers_.down();
    if (!stopped_) ScheduleOpen(settings_.reopen_min);
}

void SerialLink::StartRead() {
    if (reading_ || !port_.is_open()) return;
    reading_ = true;
    const std::uint64_t gen = gen_;
    port_.async_read_some(asio::buffer(buf_), [this, gen](const error_code& ec, std::size_t n) {
        if (gen != gen_) return;  // the port was closed meanwhile
        reading_ = false;
        cancelling_ = false;
        if (ec && ec != asio::error::operation_aborted) {
            Lost(ec.message());
            return;
        }
        if (n > 0) {
            if (!tx_.empty())
                staleBytes_ += n;  // read before the queued request went out
            else if (handlers_.received) {
                // A request queued while these bytes are handled goes out
                // only after all of them: the rest of this read came before it.
                delivering_ = true;
                handlers_.received(buf_.data(), n);
                delivering_ = false;
            }
        }
        if (gen != gen_ || stopped_) return;  // closed by a handler
        Pump();
        ReadNext();
    });
}

void SerialLink::ReadNext() {
    if (reading_ || writing_ || !tx_.empty() || !port_.is_open()) return StartRead();
    const std::size_t pending = handlers_.pending ? handlers_.pending() : 0;
    if (pending < 2) return StartRead();
    // Outside the poll set the arriving bytes wake nobody; all but the last
    // are due after this rest, and the last one is waited for as usual.
    // A rest lasts at most 100 ms, so that a frame cut short is still read
    // and judged within any sensible answer timeout.
    const auto rest = std::min<std::chrono::nanoseconds>(byteTime_ * (pending - 1), std::chrono::milliseconds(100));
    const int fd = port_.release();
    if (fd < 0) return StartRead();
    restingFd_ = fd;
    restTimer_.expires_after(rest);
    const std::uint64_t gen = gen_;
    restTimer_.async_wait([this, gen](const error_code& e) {
        if (e || gen != gen_ || restingFd_ < 0) return;
        Wake();
        StartRead();
    });
}

void SerialLink::Wake() {
    if (restingFd_ < 0) return;
    error_code ec;
    restTimer_.cancel(ec);
    port_.assign(restingFd_, ec);
    if (ec) {
        Lost("cannot poll the port: " + ec.message());  // closes it
        return;
    }
    restingFd_ = -1;
}

bool SerialLink::Send(std::string frame) {
    Wake();
    if (!port_.is_open()) return false;
    tx_ = std::move(frame);
    if (!delivering_) Pump();
    return true;
}

void SerialLink::Pump() {
    if (!port_.is_open() || tx_.empty() || writing_) return;
    if (reading_) {
        if (!cancelling_) {
            cancelling_ = true;
            error_code ec;
            port_.cancel(ec);
        }
        return;  // the read handler comes back here
    }
    ::tcflush(port_.native_handle(), TCIFLUSH);
    out_ = std::move(tx_);
    tx_.clear();
    if (handlers_.sending) handlers_.sending();
    writing_ = true;
    const std::uint64_t gen = gen_;
    asio::async_write(port_, asio::buffer(out_), [this, gen](const error_code& ec, std::size_t) {
        if (gen != gen_) return;
        writing_ = false;
        if (ec) {
            Lost(ec.message());
            return;
        }
        Pump();
    });
    StartRead();
}

}  // namespace rt
