#include "host/pmbus_protocol.h"

PMBusProtocol::PMBusProtocol() = default;
PMBusProtocol::~PMBusProtocol() = default;

bool PMBusProtocol::InitSetting(const Json::Value& config) {
    if (!config.isObject()) return false;
    if (config.isMember("address")) address_ = static_cast<std::uint8_t>(config["address"].asUInt());
    if (config.isMember("protocol_version"))
        protocolVersion_ = static_cast<std::uint8_t>(config["protocol_version"].asUInt());
    if (config.isMember("baud")) baud_ = config["baud"].asUInt();
    return true;
}

int PMBusProtocol::process(const unsigned char* data, unsigned length) {
    std::vector<frame::DecodeEvent> events;
    decoder_.Feed(data, length, events);
    int handled = 0;
    Handle(events, handled);
    return handled;
}

void PMBusProtocol::FlushReceiver() {
    std::vector<frame::DecodeEvent> events;
    decoder_.Flush(events);
    int handled = 0;
    Handle(events, handled);
}

void PMBusProtocol::Handle(const std::vector<frame::DecodeEvent>& events, int& handled) {
    for (const auto& e : events) {
        if (!e.ok) {
            InfoLog("PMBusProtocol: {} dropped {} bytes: {}", dataId_, e.bytes, frame::FaultName(e.fault));
            continue;
        }
        const frame::Frame& f = e.frame;
        if (f.adr != address_) {
            ++foreignFrames_;
            InfoLog("PMBusProtocol: {} dropped a frame from address {}", dataId_, f.adr);
            continue;
        }
        auto c = controller_.lock();
        if (c && !c->AcceptAnswer(*this, f)) continue;
        const std::uint32_t stepBefore = commandStep_;
        int r;
        if (f.rtn != 0) {
            r = process_error(f.rtn);
        } else {
            const std::vector<std::uint8_t> buf = f.ResponseBuffer();
            r = DeliverAnswer(buf.data(), static_cast<unsigned>(buf.size()));
        }
        ++handled;
        if (c) c->AnswerHandled(*this, stepBefore, f, r);
    }
}

std::string PMBusProtocol::EncodeRequest(std::uint8_t cid1, std::uint8_t cid2, const std::uint8_t* info,
                                         int length) const {
    if (!info || length < 0) length = 0;
    return frame::EncodeRequest(protocolVersion_, address_, cid1, cid2, info,
                                static_cast<std::size_t>(length));
}

int PMBusProtocol::DeliverAnswer(const unsigned char* decoded, unsigned length) {
    if (!decoded || length < 6) return -1;
    const unsigned info = (static_cast<unsigned>(decoded[4]) | (static_cast<unsigned>(decoded[5]) << 8)) >> 1;
    if (length < 6 + info) return -1;
    response_ = decoded;
    const int r = process_payload();
    response_ = nullptr;
    return r;
}

int PMBusProtocol::process_payload() { return 1; }
int PMBusProtocol::process_error(int) { return 1; }

int PMBusProtocol::write_pmbus_cmd(std::uint8_t cid1, std::uint8_t cid2) {
    return write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

int PMBusProtocol::write_pmbus_cmd(std::uint8_t cid1, std::uint8_t cid2, const std::uint8_t* info,
                                   int length) {
    if (!info || length < 0) length = 0;
    if (auto c = controller_.lock()) c->Request(*this, cid1, cid2, info, length);
    return length;
}
