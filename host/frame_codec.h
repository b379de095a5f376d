#pragma once
// ASCII-hex frames of the power bus, as pure functions and a streaming
// decoder (no I/O):
//   '~' VER ADR CID1 CID2|RTN LENGTH(4) INFO(LENID) CHKSUM(4) CR
// Every byte of VER..INFO travels as two upper-case hex digits, high nibble
// first. LENGTH = LCHKSUM << 12 | LENID, LENID the number of INFO characters;
// LCHKSUM = -(sum of LENID's nibbles) mod 16. CHKSUM = -(sum of the ASCII
// codes between '~' and CHKSUM) mod 65536.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace frame {

constexpr char kSoi = '~';
constexpr char kEoi = '\r';
constexpr unsigned kMaxLenId = 0x0FFF;
constexpr std::size_t kMaxInfoBytes = kMaxLenId / 2;  // 2047
// Characters between '~' and CR: 12 header digits, INFO, 4 checksum digits.
constexpr std::size_t kHeaderChars = 12;
constexpr std::size_t kChecksumChars = 4;
constexpr std::size_t kMaxBodyChars = kHeaderChars + kMaxLenId + kChecksumChars;

// Decoded answers in the response-buffer layout:
//   [0] VER, [1] ADR, [2] CID1, [3] RTN, [4..5] LENID little-endian, [6..] INFO.
constexpr std::size_t kBufVer = 0;
constexpr std::size_t kBufAdr = 1;
constexpr std::size_t kBufCid1 = 2;
constexpr std::size_t kBufRtn = 3;
constexpr std::size_t kBufLength = 4;
constexpr std::size_t kBufInfo = 6;

// The LENGTH word for a LENID (LENID <= 0xFFF).
std::uint16_t LengthField(unsigned lenid);
// The CHKSUM of the characters chars[0..n).
std::uint16_t Checksum(const char* chars, std::size_t n);

// A whole frame, '~' to CR. cid2OrRtn is CID2 in a request, RTN in an
// answer. Throws std::length_error for more than kMaxInfoBytes of INFO.
std::string EncodeFrame(std::uint8_t ver, std::uint8_t adr, std::uint8_t cid1,
                        std::uint8_t cid2OrRtn, const std::uint8_t* info, std::size_t length);
inline std::string EncodeRequest(std::uint8_t ver, std::uint8_t adr, std::uint8_t cid1,
                                 std::uint8_t cid2, const std::uint8_t* info, std::size_t length) {
    return EncodeFrame(ver, adr, cid1, cid2, info, length);
}

// Why received bytes were not a frame.
enum class Fault : std::uint8_t {
    kNoise,              // bytes outside any frame
    kNonHex,             // a character other than 0-9, A-F between '~' and CR
    kEndedEarly,         // fewer characters than the header and LENID need
    kBadLength,          // odd LENID, or more characters than LENID allows
    kBadLengthChecksum,  // LCHKSUM does not match LENID
    kBadChecksum,        // CHKSUM does not match
    kOverlong,           // no CR within the longest possible frame
};
const char* FaultName(Fault f);

struct Frame {
    std::uint8_t ver = 0;
    std::uint8_t adr = 0;
    std::uint8_t cid1 = 0;
    std::uint8_t rtn = 0;  // CID2 when the frame is a request
    std::vector<std::uint8_t> info;
    std::string raw;  // the frame as received, '~' to CR

    // [0] VER, [1] ADR, [2] CID1, [3] RTN, [4..5] LENID LE, [6..] INFO.
    std::vector<std::uint8_t> ResponseBuffer() const;
};

struct DecodeEvent {
    bool ok = false;
    Fault fault = Fault::kNoise;  // when !ok
    std::size_t bytes = 0;        // bytes the frame or the rejected run spans
    Frame frame;                  // when ok
};

struct DecoderStats {
    std::uint64_t frames = 0;       // checksum-correct frames, error RTN included
    std::uint64_t error_rtn = 0;    // of those, frames with RTN != 0
    std::uint64_t noise_bytes = 0;  // bytes outside frames
    std::uint64_t noise_runs = 0;
    std::uint64_t non_hex = 0;
    std::uint64_t ended_early = 0;
    std::uint64_t bad_length = 0;
    std::uint64_t bad_length_checksum = 0;
    std::uint64_t bad_checksum = 0;
    std::uint64_t overlong = 0;
    // Rejected frames (noise not included).
    std::uint64_t BadFrames() const {
        return non_hex + ended_early + bad_length + bad_length_checksum + bad_checksum + overlong;
    }
};

// Finds frames in a byte stream fed in arbitrary pieces. A '~' always starts
// a new frame (a frame still open then ended early); bytes outside frames
// are noise, reported as one event per run.
class FrameDecoder {
public:
    // Appends to out one event per frame or rejected run completed by data.
    void Feed(const std::uint8_t* data, std::size_t length, std::vector<DecodeEvent>& out);
    // Ends the stream: a frame still open ended early, pending noise is
    // reported. The decoder then waits for a '~'.
    void Flush(std::vector<DecodeEvent>& out);
    const DecoderStats& Stats() const { return stats_; }
    bool InFrame() const { return state_ != State::kHunt; }
    // Bytes still to come before the open frame can end: 0 outside a frame,
    // the least any frame needs until its LENGTH is in, then the exact
    // count to its CR; 1 when any byte may end it (a length already passed,
    // a LENGTH that is not hex, a frame being discarded). A reader may wait
    // for that many bytes before it looks again.
    std::size_t Pending() const;

private:
    enum class State { kHunt, kBody, kDiscard };
    void Reject(Fault f, std::size_t bytes, std::vector<DecodeEvent>& out);
    void EndNoise(std::vector<DecodeEvent>& out);
    void Complete(std::vector<DecodeEvent>& out);  // on CR

    State state_ = State::kHunt;
    std::string body_;              // characters after '~'
    std::size_t noiseRun_ = 0;
    DecoderStats stats_;
};

// Decodes the characters between '~' and CR of one frame; ok is false and
// the fault set when they are not a valid frame.
DecodeEvent DecodeBody(const std::string& body);

}  // namespace frame
