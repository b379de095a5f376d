#pragma once
// The host's power-bus protocol layer: requests go out through
// write_pmbus_cmd, decoded answers come back through process_payload with
// the response buffer laid out as
//   [2] CID1, [4..5] length field (little-endian; halved = INFO length),
//   [6..] INFO.
#include "host/vnq_spdevice.h"

#include <cstdint>

class PMBusProtocol : public VNQSPDevice {
public:
    PMBusProtocol();
    ~PMBusProtocol() override;

    // Reads the host's own keys: "address" (ADR, default 1) and
    // "protocol_version" (VER) and "baud" when present. False when the
    // configuration is not an object.
    bool InitSetting(const Json::Value& config) override;
    // Received bytes. For now they are taken as one decoded answer (see
    // DeliverAnswer); the serial runtime decodes wire frames here.
    int process(const unsigned char* data, unsigned length) override;

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
};
