#include "tools/runtime/serial_link.h"

#include <boost/asio/write.hpp>

#include <termios.h>

#include <algorithm>
#include <cstdio>

namespace rt {

namespace asio = boost::asio;
using boost::system::error_code;

SerialLink::SerialLink(asio::io_context& io, LineSettings settings, Handlers handlers)
    : io_(io),
      settings_(std::move(settings)),
      handlers_(std::move(handlers)),
      port_(io),
      reopenTimer_(io),
      backoff_(settings_.reopen_min) {}

SerialLink::~SerialLink() {
    stopped_ = true;
    error_code ec;
    reopenTimer_.cancel(ec);
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
    if (port_.is_open()) port_.close(ec);
}

bool SerialLink::TryOpen(std::string& error) {
    error_code ec;
    port_.open(settings_.path, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    using SP = asio::serial_port_base;
    const SP::parity::type parity = settings_.parity == 'E'   ? SP::parity::even
                                    : settings_.parity == 'O' ? SP::parity::odd
                                                              : SP::parity::none;
    port_.set_option(SP::baud_rate(settings_.baud), ec);
    if (!ec) port_.set_option(SP::character_size(settings_.data_bits), ec);
    if (!ec) port_.set_option(SP::parity(parity), ec);
    if (!ec) port_.set_option(SP::stop_bits(settings_.stop_bits == 2 ? SP::stop_bits::two : SP::stop_bits::one), ec);
    if (!ec) port_.set_option(SP::flow_control(SP::flow_control::none), ec);
    if (ec) {
        error = "settings refused: " + ec.message();
        Close();
        return false;
    }
    ::tcflush(port_.native_handle(), TCIOFLUSH);
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
    if (!port_.is_open()) return;
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
        StartRead();
    });
}

bool SerialLink::Send(std::string frame) {
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
