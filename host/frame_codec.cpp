#include "host/frame_codec.h"

#include <stdexcept>

namespace frame {
namespace {

const char kHex[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void PutByte(std::string& s, std::uint8_t b) {
    s.push_back(kHex[b >> 4]);
    s.push_back(kHex[b & 0x0F]);
}

void PutWord(std::string& s, std::uint16_t w) {
    PutByte(s, static_cast<std::uint8_t>(w >> 8));
    PutByte(s, static_cast<std::uint8_t>(w & 0xFF));
}

// Two hex digits at s[pos]; the caller has checked that they are hex.
std::uint8_t ByteAt(const std::string& s, std::size_t pos) {
    return static_cast<std::uint8_t>(HexValue(s[pos]) << 4 | HexValue(s[pos + 1]));
}

std::uint16_t WordAt(const std::string& s, std::size_t pos) {
    return static_cast<std::uint16_t>(ByteAt(s, pos) << 8 | ByteAt(s, pos + 2));
}

DecodeEvent Bad(Fault f, std::size_t bytes) {
    DecodeEvent e;
    e.ok = false;
    e.fault = f;
    e.bytes = bytes;
    return e;
}

}  // namespace

std::uint16_t LengthField(unsigned lenid) {
    lenid &= kMaxLenId;
    const unsigned sum = (lenid & 0xF) + ((lenid >> 4) & 0xF) + ((lenid >> 8) & 0xF);
    const unsigned lchk = (~sum + 1u) & 0xF;
    return static_cast<std::uint16_t>(lchk << 12 | lenid);
}

std::uint16_t Checksum(const char* chars, std::size_t n) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += static_cast<unsigned char>(chars[i]);
    return static_cast<std::uint16_t>((~sum + 1u) & 0xFFFF);
}

std::string EncodeFrame(std::uint8_t ver, std::uint8_t adr, std::uint8_t cid1,
                        std::uint8_t cid2OrRtn, const std::uint8_t* info, std::size_t length) {
    if (!info) length = 0;
    if (length > kMaxInfoBytes) throw std::length_error("frame INFO longer than 2047 bytes");
    std::string s;
    s.reserve(1 + kHeaderChars + 2 * length + kChecksumChars + 1);
    s.push_back(kSoi);
    PutByte(s, ver);
    PutByte(s, adr);
    PutByte(s, cid1);
    PutByte(s, cid2OrRtn);
    PutWord(s, LengthField(static_cast<unsigned>(2 * length)));
    for (std::size_t i = 0; i < length; ++i) PutByte(s, info[i]);
    PutWord(s, Checksum(s.data() + 1, s.size() - 1));
    s.push_back(kEoi);
    return s;
}

const char* FaultName(Fault f) {
    switch (f) {
        case Fault::kNoise: return "noise";
        case Fault::kNonHex: return "non-hex character";
        case Fault::kEndedEarly: return "frame ended early";
        case Fault::kBadLength: return "bad length";
        case Fault::kBadLengthChecksum: return "bad length checksum";
        case Fault::kBadChecksum: return "bad checksum";
        case Fault::kOverlong: return "overlong frame";
    }
    return "unknown";
}

std::vector<std::uint8_t> Frame::ResponseBuffer() const {
    std::vector<std::uint8_t> b(kBufInfo + info.size());
    const unsigned lenid = static_cast<unsigned>(2 * info.size());
    b[kBufVer] = ver;
    b[kBufAdr] = adr;
    b[kBufCid1] = cid1;
    b[kBufRtn] = rtn;
    b[kBufLength] = static_cast<std::uint8_t>(lenid & 0xFF);
    b[kBufLength + 1] = static_cast<std::uint8_t>(lenid >> 8);
    for (std::size_t i = 0; i < info.size(); ++i) b[kBufInfo + i] = info[i];
    return b;
}

DecodeEvent DecodeBody(const std::string& body) {
    const std::size_t bytes = body.size() + 2;  // with '~' and CR
    for (char c : body)
        if (HexValue(c) < 0) return Bad(Fault::kNonHex, bytes);
    if (body.size() < kHeaderChars + kChecksumChars) return Bad(Fault::kEndedEarly, bytes);

    const std::uint16_t length = WordAt(body, 8);
    const unsigned lenid = length & kMaxLenId;
    if (LengthField(lenid) != length) return Bad(Fault::kBadLengthChecksum, bytes);
    if (lenid % 2 != 0) return Bad(Fault::kBadLength, bytes);
    const std::size_t want = kHeaderChars + lenid + kChecksumChars;
    if (body.size() < want) return Bad(Fault::kEndedEarly, bytes);
    if (body.size() > want) return Bad(Fault::kBadLength, bytes);

    const std::size_t sumAt = kHeaderChars + lenid;
    if (Checksum(body.data(), sumAt) != WordAt(body, sumAt)) return Bad(Fault::kBadChecksum, bytes);

    DecodeEvent e;
    e.ok = true;
    e.bytes = bytes;
    Frame& f = e.frame;
    f.ver = ByteAt(body, 0);
    f.adr = ByteAt(body, 2);
    f.cid1 = ByteAt(body, 4);
    f.rtn = ByteAt(body, 6);
    f.info.resize(lenid / 2);
    for (std::size_t i = 0; i < f.info.size(); ++i) f.info[i] = ByteAt(body, kHeaderChars + 2 * i);
    f.raw.reserve(bytes);
    f.raw.push_back(kSoi);
    f.raw += body;
    f.raw.push_back(kEoi);
    return e;
}

void FrameDecoder::Reject(Fault f, std::size_t bytes, std::vector<DecodeEvent>& out) {
    switch (f) {
        case Fault::kNoise: ++stats_.noise_runs; break;  // bytes counted as they come
        case Fault::kNonHex: ++stats_.non_hex; break;
        case Fault::kEndedEarly: ++stats_.ended_early; break;
        case Fault::kBadLength: ++stats_.bad_length; break;
        case Fault::kBadLengthChecksum: ++stats_.bad_length_checksum; break;
        case Fault::kBadChecksum: ++stats_.bad_checksum; break;
        case Fault::kOverlong: ++stats_.overlong; break;
    }
    out.push_back(Bad(f, bytes));
}

void FrameDecoder::EndNoise(std::vector<DecodeEvent>& out) {
    if (noiseRun_ == 0) return;
    Reject(Fault::kNoise, noiseRun_, out);
    noiseRun_ = 0;
}

void FrameDecoder::Complete(std::vector<DecodeEvent>& out) {
    DecodeEvent e = DecodeBody(body_);
    body_.clear();
    state_ = State::kHunt;
    if (!e.ok) {
        Reject(e.fault, e.bytes, out);
        return;
    }
    ++stats_.frames;
    if (e.frame.rtn != 0) ++stats_.error_rtn;
    out.push_back(std::move(e));
}

void FrameDecoder::Feed(const std::uint8_t* data, std::size_t length, std::vector<DecodeEvent>& out) {
    if (!data) return;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == kSoi) {
            // A new frame starts here, whatever came before.
            EndNoise(out);
            if (state_ == State::kBody) Reject(Fault::kEndedEarly, body_.size() + 1, out);
            body_.clear();
            state_ = State::kBody;
            continue;
        }
        switch (state_) {
            case State::kHunt:
                ++noiseRun_;
                ++stats_.noise_bytes;
                break;
            case State::kBody:
                if (c == kEoi) {
                    Complete(out);
                } else if (body_.size() == kMaxBodyChars) {
                    // The longest frame has passed without CR: drop it and
                    // everything up to the next '~' or CR.
                    const std::size_t bytes = body_.size() + 2;
                    body_.clear();
                    state_ = State::kDiscard;
                    Reject(Fault::kOverlong, bytes, out);
                } else {
                    body_.push_back(c);
                }
                break;
            case State::kDiscard:
                if (c == kEoi) state_ = State::kHunt;
                break;
        }
    }
}

std::size_t FrameDecoder::Pending() const {
    if (state_ == State::kHunt) return 0;
    if (state_ == State::kDiscard) return 1;
    const std::size_t least = kHeaderChars + kChecksumChars + 1;  // 1: the CR
    if (body_.size() < kHeaderChars) return least - body_.size();
    unsigned lenid = 0;
    for (std::size_t i = 9; i < kHeaderChars; ++i) {  // LENID: the last three digits of LENGTH
        const int v = HexValue(body_[i]);
        if (v < 0) return 1;
        lenid = lenid << 4 | static_cast<unsigned>(v);
    }
    const std::size_t whole = least + lenid;
    return body_.size() < whole ? whole - body_.size() : 1;
}

void FrameDecoder::Flush(std::vector<DecodeEvent>& out) {
    EndNoise(out);
    if (state_ == State::kBody) Reject(Fault::kEndedEarly, body_.size() + 1, out);
    body_.clear();
    state_ = State::kHunt;
}

}  // namespace frame
