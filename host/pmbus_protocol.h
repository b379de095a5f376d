#pragma once
// The host's power-bus protocol layer: requests go out through
// write_pmbus_cmd, decoded answers come back through process_payload with
// the response buffer laid out as
//   [2] CID1, [4..5] length field (little-endian; halved = INFO length),
//   [6..] INFO.
#include "host/frame_codec.h"
#include "host/vnq_spdevice.h"

#include <cstdint>
#include <string>

class PMBusProtocol : public VNQSPDevice {
public:
    PMBusProtocol();
    ~PMBusProtocol() override;

    // Reads the host's own keys: "address" (ADR, default 1) and
    // "protocol_version" (VER) and "baud" when present. False when the
    // configuration is not an object.
    bool InitSetting(const Json::Value& config) override;
    // Received wire bytes, in any pieces. Every complete frame is checked:
    // a rejected run is counted and logged; a good frame from another
    // address, or one the controller refuses (AcceptAnswer), is dropped; an
    // answer with RTN 0 goes to process_payload (DeliverAnswer), one with
    // another RTN to process_error. Returns the number of answers handled.
    int process(const unsigned char* data, unsigned length) override;
    // Ends the received stream before a new request: a frame still open
    // counts as ended early.
    void FlushReceiver();
    // Bytes the receiver still waits for to end the frame it holds (0: none).
    std::size_t ReceiverPending() const { return decoder_.Pending(); }
    // A request frame for this device's VER and ADR.
    std::string EncodeRequest(std::uint8_t cid1, std::uint8_t cid2, const std::uint8_t* info,
                              int length) const;
    const frame::DecoderStats& FrameStats() const { return decoder_.Stats(); }
    // Good frames dropped because they came from another address.
    std::uint64_t ForeignFrames() const { return foreignFrames_; }

    // Hands one decoded answer in the response buffer layout to
    // process_payload and returns its result; -1 for a buffer shorter than 6
    // or one shorter than its length field says. The buffer must stay valid
    // for the duration of the call.
    int DeliverAnswer(const unsigned char* decoded, unsigned length);

    // 31
    virtual int process_payload();
    // 32: an answer with a non-zero RTN.
    virtual int process_error(int rtn);

    int write_pmbus_cmd(std::uint8_t cid1, std::uint8_t cid2);
    int write_pmbus_cmd(std::uint8_t cid1, std::uint8_t cid2, const std::uint8_t* info, int length);

    // Host-side access.
    std::uint32_t CommandStep() const { return commandStep_; }
    std::uint8_t ProtocolVersion() const { return protocolVersion_; }
    std::uint8_t Address() const { return address_; }

protected:
    std::uint32_t commandStep_ = 0;
    std::uint8_t protocolVersion_ = 0x21;
    std::uint8_t address_ = 1;

private:
    void Handle(const std::vector<frame::DecodeEvent>& events, int& handled);

    frame::FrameDecoder decoder_;
    std::uint64_t foreignFrames_ = 0;
};
