#pragma once
// Turn-taking on one serial link. The lines of a site that name the same
// port (an RS-485 bus with several power systems, each at its own ADR) join
// one SharedLink; a port with one line has a SharedLink with one member.
//
// One request is on the wire at a time across the members: a member's frame
// goes out at once when nobody holds the wire, otherwise it waits its turn
// (first come, first served) until the holder calls Done (answer accepted,
// timeout). Bytes received go to the holder; while nobody holds the wire,
// to the last holder (a late answer meets the runtime that asked for it).
// A frame from another ADR reaching a member is dropped by its bus device
// and counted as foreign. Port up and down reach every started member.
// Everything runs on the io_context's thread.
#include "tools/runtime/serial_link.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace rt {

class SharedLink {
public:
    using Member = std::size_t;

    SharedLink(boost::asio::io_context& io, LineSettings settings, std::function<void(const std::string&)> log);
    SharedLink(const SharedLink&) = delete;
    SharedLink& operator=(const SharedLink&) = delete;

    // A new member; its log handler is not used (the link logs through the
    // one given above).
    Member Join(SerialLink::Handlers handlers);
    // The first started member opens the port.
    void Start(Member m);
    // The member's handlers are no longer called and its waiting frame is
    // dropped; the last one to stop closes the port.
    void Stop(Member m);
    // Stop, and its handlers are forgotten (the member is going away).
    void Leave(Member m);

    bool IsOpen() const { return link_.IsOpen(); }
    // Queues the member's frame for its turn (replacing one still waiting).
    // False when the port is closed.
    bool Send(Member m, std::string frame);
    // The member's exchange is over: the next waiting frame goes out.
    void Done(Member m);

    const SerialLink& Link() const { return link_; }

private:
    struct Slot {
        SerialLink::Handlers handlers;
        bool started = false;
        std::string waiting;  // frame waiting for its turn
    };
    void Next();
    // The started member that gets the bytes now, if any.
    std::optional<Member> Receiver() const;
    void Received(const std::uint8_t* p, std::size_t n);
    void Down();

    std::vector<Slot> slots_;
    std::deque<Member> turns_;
    std::optional<Member> holder_;  // its request is queued in the link or on the wire
    std::optional<Member> last_;    // the last holder
    unsigned started_ = 0;
    SerialLink link_;
};

}  // namespace rt
