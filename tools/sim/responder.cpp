#include "tools/sim/responder.h"

#include "host/frame_codec.h"
#include "tools/sim/command_set.h"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

// Which DATAFLAG bit announces new data for which answer.
struct Gate {
    FlagGroup group;
    std::uint8_t bit;
    const char* command;
};
const Gate kGates[] = {
    {FlagGroup::ac, 0x10, "40_43"},
    {FlagGroup::ac, 0x01, "40_44"},
    {FlagGroup::rc, 0x10, "41_43"},
    {FlagGroup::rc, 0x01, "41_44"},
    {FlagGroup::dc, 0x01, "42_44"},
};

bool IsGated(const std::string& name) {
    return std::any_of(std::begin(kGates), std::end(kGates), [&](const Gate& g) { return name == g.command; });
}

bool IsAcDataRequest(const std::string& name) { return name == "40_41" || name == "40_43" || name == "40_44"; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The byte at chars pos, pos+1 of a body, or -1.
int HexByte(const std::string& body, std::size_t pos) {
    if (body.size() < pos + 2) return -1;
    const int hi = HexDigit(body[pos]), lo = HexDigit(body[pos + 1]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

std::uint8_t RtnFor(frame::Fault f) {
    switch (f) {
        case frame::Fault::kBadChecksum: return rtn::kChecksum;
        case frame::Fault::kBadLengthChecksum: return rtn::kLengthChecksum;
        default: return rtn::kFormat;
    }
}

void PutWord(std::string& s, std::size_t at, std::uint16_t w) {
    char buf[5];
    std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(w));
    s.replace(at, 4, buf);
}

// Frame positions: '~' VER(1) ADR(3) CID1(5) RTN(7) LENGTH(9..12) INFO CHKSUM CR.
constexpr std::size_t kLengthAt = 9;

void CorruptChecksum(std::string& s) {
    const std::size_t at = s.size() - 5;
    PutWord(s, at, static_cast<std::uint16_t>(std::stoul(s.substr(at, 4), nullptr, 16) + 1));
}

void CorruptLengthChecksum(std::string& s) {
    const int nibble = HexDigit(s[kLengthAt]);
    s[kLengthAt] = "0123456789ABCDEF"[(nibble + 1) & 0xF];
    const std::size_t at = s.size() - 5;
    PutWord(s, at, frame::Checksum(s.data() + 1, at - 1));  // the frame stays checksum-correct
}

std::uint8_t NextGroup(std::uint8_t cid1) {
    switch (cid1) {
        case 0x40: return 0x41;
        case 0x41: return 0x42;
        case 0x42: return 0x40;
        default: return static_cast<std::uint8_t>(cid1 ^ 0x01);
    }
}

bool PayloadFits(Payload p, const Bytes& info, std::uint8_t& code) {
    const bool groupOk = info.size() == 1;
    switch (p) {
        case Payload::none:
            if (!info.empty()) code = rtn::kFormat;
            return info.empty();
        case Payload::group_byte:
            if (!groupOk) code = rtn::kFormat;
            break;
        case Payload::group_byte_or_none:
            if (info.empty()) return true;
            if (!groupOk) code = rtn::kFormat;
            break;
    }
    if (!groupOk) return false;
    if (info[0] != kCommandGroup) code = rtn::kInvalidData;
    return info[0] == kCommandGroup;
}

}  // namespace

Responder::Responder(const Scenario& scenario, const ResponderOptions& options)
    : scenario_(scenario), options_(options), timeline_(scenario_), plant_(timeline_.CurrentPlant()) {
    for (const FaultRule& r : scenario_.faults) faults_.Add(r);
}

std::uint8_t Responder::DataFlag(FlagGroup group) const {
    std::uint8_t flag = 0;
    switch (group) {
        case FlagGroup::ac: flag = plant_.flags.ac; break;
        case FlagGroup::rc: flag = plant_.flags.rc; break;
        case FlagGroup::dc: flag = plant_.flags.dc; break;
        case FlagGroup::none: return 0;
    }
    for (const Gate& g : kGates) {
        if (g.group != group) continue;
        const Command* c = FindCommand(g.command);
        const Bytes now = c->info(plant_, scenario_.build, 0);
        const auto last = delivered_.find(g.command);
        if (last == delivered_.end() || !std::equal(now.begin() + 1, now.end(), last->second.begin(), last->second.end()))
            flag |= g.bit;
    }
    return flag;
}

void Responder::NoteRequest(const std::string& name, Reply& reply) {
    // A round starts with 40_41, or with 41_41 when no AC request came since
    // the last 41_41; a request repeated right away (after a lost answer)
    // starts nothing.
    bool start = false;
    if (name == "40_41") start = lastRequest_ != name;
    if (name == "41_41") start = !acSinceRc_ && lastRequest_ != name;
    if (IsAcDataRequest(name)) acSinceRc_ = true;
    if (name == "41_41") acSinceRc_ = false;
    lastRequest_ = name;
    if (!start) return;
    if (options_.repeat > 0 && timeline_.Round() >= options_.repeat) {
        timeline_ = Timeline(scenario_);
        faults_.Restart();
        ++pass_;
    }
    timeline_.Advance();
    plant_ = timeline_.CurrentPlant();
    reply.round_started = true;
}

void Responder::ApplyFaults(const std::string& name, std::uint8_t ver, std::uint8_t cid1, Bytes info, Reply& reply) {
    bool drop = false, badSum = false, badLen = false, intact = true;
    int delay = options_.latency_ms;
    std::uint8_t code = rtn::kNormal;
    std::string noise;
    for (const FaultRule& r : faults_.Select(name, Round())) {
        reply.faults.push_back(FaultName(r.kind));
        intact = intact && r.kind == FaultKind::noise;
        switch (r.kind) {
            case FaultKind::drop: drop = true; break;
            case FaultKind::delay: delay = r.delay_ms; break;
            case FaultKind::bad_checksum: badSum = true; break;
            case FaultKind::bad_length_checksum: badLen = true; break;
            case FaultKind::wrong_cid1: cid1 = r.cid1 >= 0 ? static_cast<std::uint8_t>(r.cid1) : NextGroup(cid1); break;
            case FaultKind::truncate:
                info.resize(r.keep < 0 ? info.size() / 2 : std::min<std::size_t>(static_cast<std::size_t>(r.keep), info.size()));
                break;
            case FaultKind::error_rtn:
                code = r.rtn;
                info.clear();
                break;
            case FaultKind::noise:
                for (int k = 0; k < r.noise; ++k) {
                    noiseSeed_ = noiseSeed_ * 1103515245u + 12345u;
                    char c = static_cast<char>((noiseSeed_ >> 16) & 0xFF);
                    noise.push_back(c == frame::kSoi ? '?' : c);
                }
                break;
        }
    }
    if (!noise.empty()) {
        reply.out.push_back(Outgoing{options_.latency_ms, noise});
        delay = std::max(0, delay - options_.latency_ms);
    }
    if (drop) return;
    if (intact && IsGated(name)) delivered_[name] = Bytes(info.begin() + (info.empty() ? 0 : 1), info.end());
    std::string f = frame::EncodeFrame(ver, options_.address, cid1, code, info.data(), info.size());
    if (badLen) CorruptLengthChecksum(f);
    if (badSum) CorruptChecksum(f);
    reply.out.push_back(Outgoing{delay, f});
}

Reply Responder::OnFrame(const std::string& body) {
    Reply reply;
    const frame::DecodeEvent ev = frame::DecodeBody(body);
    const auto answerVer = [&](int requestVer) {
        return static_cast<std::uint8_t>(scenario_.answer_version >= 0 ? scenario_.answer_version : requestVer);
    };
    const auto error = [&](std::uint8_t ver, std::uint8_t cid1, std::uint8_t code) {
        reply.out.push_back(Outgoing{options_.latency_ms, frame::EncodeFrame(answerVer(ver), options_.address, cid1,
                                                                            code, nullptr, 0)});
    };
    if (!ev.ok) {
        reply.request = std::string("bad frame: ") + frame::FaultName(ev.fault);
        const int ver = HexByte(body, 0), adr = HexByte(body, 2), cid1 = HexByte(body, 4);
        if (ver >= 0 && cid1 >= 0 && adr == options_.address)
            error(static_cast<std::uint8_t>(ver), static_cast<std::uint8_t>(cid1), RtnFor(ev.fault));
        return reply;
    }
    const frame::Frame& req = ev.frame;
    reply.request = CommandName(req.cid1, req.rtn);
    if (req.adr != options_.address) {
        reply.request += " for address " + std::to_string(req.adr);
        return reply;
    }
    const Command* cmd = FindCommand(req.cid1, req.rtn);
    if (cmd == nullptr) {
        error(req.ver, req.cid1, rtn::kUnknownCommand);
        return reply;
    }
    std::uint8_t code = rtn::kNormal;
    if (!PayloadFits(cmd->payload, req.info, code)) {
        error(req.ver, req.cid1, code);
        return reply;
    }
    NoteRequest(cmd->name, reply);
    Bytes info = cmd->info(plant_, scenario_.build, DataFlag(cmd->flag));
    ApplyFaults(cmd->name, answerVer(req.ver), req.cid1, std::move(info), reply);
    return reply;
}

}  // namespace sim
