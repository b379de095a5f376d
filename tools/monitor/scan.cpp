#include "tools/monitor/scan.h"

#include "host/frame_codec.h"
#include "host/vnq_controller.h"
#include "tools/monitor/plugin_loader.h"
#include "tools/runtime/json_line.h"
#include "tools/runtime/serial_link.h"

#include <json/writer.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace monitor {
namespace {

using Clock = std::chrono::steady_clock;

// Keeps what a probing bus device asks for and reports, instead of sending
// it anywhere.
class ProbeController : public VNQController {
public:
    void Request(PMBusProtocol& dev, std::uint8_t cid1, std::uint8_t cid2, const std::uint8_t* info,
                 int length) override {
        requests.push_back(dev.EncodeRequest(cid1, cid2, info, length));
    }
    void RuleReported(VNQVDevice&, const rule_value& rule) override {
        if (rule.key == "device_model" && rule.active) modelRefused = true;
    }
    std::vector<std::string> requests;
    bool modelRefused = false;
};

// A bus device of the plug-in for one address with acUnits AC units, its
// model request already asked for.
struct ProbeBus {
    std::shared_ptr<ProbeController> controller = std::make_shared<ProbeController>();
    std::shared_ptr<PMBusProtocol> bus;

    ProbeBus(const Plugin& plugin, unsigned address, unsigned acUnits) : bus(plugin.CreateBus()) {
        Json::Value config(Json::objectValue);
        config["address"] = address;
        for (unsigned i = 0; i < acUnits; ++i) config["acSetting"][i]["data_id"] = i + 1;
        config["rcSetting"] = Json::Value(Json::objectValue);
        bus->Init(controller, 0, config);
        if (!bus->InitSetting(config)) throw std::runtime_error("the plug-in's bus device refused a probe");
        bus->RefreshStatus();
        if (controller->requests.empty()) throw std::runtime_error("the plug-in's bus device sent no first request");
    }
    const std::string& LastRequest() const { return controller->requests.back(); }
    // Hands an answer to the bus device; its command step afterwards.
    std::uint32_t Deliver(const frame::Frame& answer) {
        const std::vector<std::uint8_t> buffer = answer.ResponseBuffer();
        bus->DeliverAnswer(buffer.data(), static_cast<unsigned>(buffer.size()));
        return bus->CommandStep();
    }
};

struct Reply {
    enum Kind { kSilent, kAnswer, kGarbled } kind = kSilent;
    frame::Frame frame;  // kAnswer: a good frame from the address asked
    std::string what;    // kGarbled: why; kAnswer from elsewhere: which address
};

class ScanPort {
public:
    explicit ScanPort(const std::string& path) : path_(path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    }
    ~ScanPort() { ::close(fd_); }
    ScanPort(const ScanPort&) = delete;
    ScanPort& operator=(const ScanPort&) = delete;

    void SetBaud(unsigned baud) {
        rt::LineSettings s;
        s.path = path_;
        s.baud = baud;
        std::string error;
        if (!rt::ConfigurePort(fd_, s, error)) throw std::runtime_error(path_ + " at " + std::to_string(baud) + ": " + error);
    }

    // One request and what came back within the timeout. A good frame
    // from the address asked ends the wait; a bad frame or noise is kept
    // and reported only when no good answer follows.
    Reply Ask(const std::string& request, unsigned address, std::chrono::milliseconds timeout) {
        ::tcflush(fd_, TCIOFLUSH);
        for (std::size_t done = 0; done < request.size();) {
            const ssize_t n = ::write(fd_, request.data() + done, request.size() - done);
            if (n < 0 && errno != EAGAIN && errno != EINTR) throw std::runtime_error(path_ + ": write failed: " + std::strerror(errno));
            if (n > 0) done += static_cast<std::size_t>(n);
            else ::usleep(1000);
        }
        const Clock::time_point deadline = Clock::now() + timeout;
        frame::FrameDecoder decoder;
        std::vector<frame::DecodeEvent> events;
        Reply reply;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            std::uint8_t buf[512];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) throw std::runtime_error(path_ + ": read failed: " + (n < 0 ? std::strerror(errno) : "end of file"));
            events.clear();
            decoder.Feed(buf, static_cast<std::size_t>(n), events);
            for (const frame::DecodeEvent& e : events) {
                if (!e.ok) {
                    reply.kind = Reply::kGarbled;
                    reply.what = std::string(frame::FaultName(e.fault)) + ", " + std::to_string(e.bytes) + " bytes";
                } else if (e.frame.raw == request) {
                    // our own request read back (an RS-485 adapter's echo)
                } else if (e.frame.adr != address) {
                    reply.kind = Reply::kGarbled;
                    reply.what = "a frame from address " + std::to_string(e.frame.adr);
                } else {
                    reply.kind = Reply::kAnswer;
                    reply.frame = e.frame;
                    return reply;
                }
            }
        }
        return reply;
    }

private:
    std::string path_;
    int fd_ = -1;
};

std::string ModelText(const std::vector<std::uint8_t>& info) {
    std::string text(info.begin(), info.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(info.size(), 20)));
    while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20) c = '?';
    return text;
}

// A system that answered its model request is there: a count request it
// leaves unanswered is asked again, since a missed answer is not zero units.
constexpr int kCountTries = 3;

Reply AskAnswered(ScanPort& port, const std::string& request, unsigned address, std::chrono::milliseconds timeout) {
    Reply reply;
    for (int i = 0; i < kCountTries && reply.kind != Reply::kAnswer; ++i) reply = port.Ask(request, address, timeout);
    return reply;
}

// What the power system behind one model answer holds: the AC units its
// 40_41 answer covers (the plug-in's AC decoders must take the answer
// whole), the DC units its 42_41 answer names (INFO[1]).
void CountUnits(const Plugin& plugin, ScanPort& port, const frame::Frame& modelAnswer, FoundSystem& found,
                std::chrono::milliseconds timeout) {
    ProbeBus probe(plugin, found.address, 1);
    probe.Deliver(modelAnswer);
    const Reply ac = AskAnswered(port, probe.LastRequest(), found.address, timeout);
    if (ac.kind == Reply::kAnswer && ac.frame.rtn == 0) {
        for (unsigned units = 1; units <= 16 && found.acUnits == 0; ++units) {
            ProbeBus b(plugin, found.address, units);
            b.Deliver(modelAnswer);
            if (b.Deliver(ac.frame) != 0) found.acUnits = units;  // taken: the cycle went on
        }
    }
    // The DC group's first request, as the bus device words it for this
    // protocol version: the command-group byte only with VER 33.
    const std::uint8_t group = 0xFF;
    const std::string dcRequest = probe.bus->EncodeRequest(0x42, 0x41, &group, probe.bus->ProtocolVersion() == 33 ? 1 : 0);
    const Reply dc = AskAnswered(port, dcRequest, found.address, timeout);
    if (dc.kind == Reply::kAnswer && dc.frame.rtn == 0 && dc.frame.info.size() >= 2) found.dcUnits = dc.frame.info[1];
    found.counted = ac.kind == Reply::kAnswer && dc.kind == Reply::kAnswer;
}

std::string Describe(const FoundSystem& f) {
    return "address " + std::to_string(f.address) + " at " + std::to_string(f.baud) + " baud: model \"" + f.model +
           "\", protocol version " + std::to_string(f.version) + ", " +
           (!f.supported ? "not supported by the plug-in"
            : f.counted  ? "supported by the plug-in, " + std::to_string(f.acUnits) + " AC and " +
                              std::to_string(f.dcUnits) + " DC units and the rectifiers"
                         : "supported by the plug-in, but its unit counts went unanswered " +
                              std::to_string(kCountTries) + " times; scan it again");
}

}  // namespace

Json::Value SiteFor(const std::string& port, const std::vector<FoundSystem>& found) {
    Json::Value site(Json::objectValue);
    Json::Value& lines = site["lines"] = Json::Value(Json::arrayValue);
    for (const FoundSystem& f : found) {
        if (!f.supported || !f.counted) continue;
        const std::uint32_t bus = 1000u * (lines.size() + 1);
        std::uint32_t next = bus + 1;
        Json::Value line(Json::objectValue);
        line["port"] = port;
        line["baud"] = f.baud;
        line["address"] = f.address;
        line["protocol_version"] = f.version;
        line["data_id"] = bus;
        line["acSetting"] = Json::Value(Json::arrayValue);
        for (unsigned i = 0; i < f.acUnits; ++i) line["acSetting"][i]["data_id"] = next++;
        line["dcSetting"] = Json::Value(Json::arrayValue);
        for (unsigned i = 0; i < f.dcUnits; ++i) line["dcSetting"][i]["data_id"] = next++;
        line["rcSetting"] = Json::Value(Json::objectValue);
        lines.append(line);
    }
    return site;
}

int RunScan(const Args& args, std::FILE* out) {
    if (args.writeSite && !args.force && ::access(args.writeSite->c_str(), F_OK) == 0) {
        std::fprintf(out, "scan: %s exists; --force overwrites it\n", args.writeSite->c_str());
        return 1;
    }
    Plugin plugin(args.plugin);
    ScanPort port(args.scanPort);
    const bool terminal = ::isatty(::fileno(out)) == 1;
    const std::chrono::milliseconds timeout(args.timeoutMs);
    std::vector<FoundSystem> found;
    unsigned garbled = 0;
    const Clock::time_point start = Clock::now();
    auto say = [&](const std::string& line) {
        std::fprintf(out, terminal ? "\r\033[K%s\n" : "%s\n", line.c_str());
        std::fflush(out);
    };
    for (unsigned baud : args.bauds) {
        port.SetBaud(baud);
        const Clock::time_point speedStart = Clock::now();
        for (unsigned address = args.firstAddress; address <= args.lastAddress; ++address) {
            if (terminal) {
                std::fprintf(out, "\r\033[Kscanning %u baud, address %u of %u-%u, %zu found", baud, address,
                             args.firstAddress, args.lastAddress, found.size());
                std::fflush(out);
            }
            ProbeBus probe(plugin, address, 1);
            const Reply reply = port.Ask(probe.LastRequest(), address, timeout);
            if (reply.kind == Reply::kGarbled) {
                ++garbled;
                say("address " + std::to_string(address) + " at " + std::to_string(baud) + " baud: garbled answer (" +
                    reply.what + ")");
                continue;
            }
            if (reply.kind != Reply::kAnswer) continue;
            if (reply.frame.rtn != 0) {
                say("address " + std::to_string(address) + " at " + std::to_string(baud) +
                    " baud: answered the model request with error RTN " + std::to_string(reply.frame.rtn));
                continue;
            }
            FoundSystem f;
            f.address = address;
            f.baud = baud;
            f.model = ModelText(reply.frame.info);
            f.version = reply.frame.ver;
            probe.Deliver(reply.frame);
            f.supported = !probe.controller->modelRefused;
            if (f.supported) CountUnits(plugin, port, reply.frame, f, timeout);
            found.push_back(f);
            say(Describe(f));
        }
        const double s = std::chrono::duration<double>(Clock::now() - speedStart).count();
        char note[160];
        std::snprintf(note, sizeof note, "%u baud: addresses %u-%u in %.1f s", baud, args.firstAddress,
                      args.lastAddress, s);
        say(note);
    }
    const double total = std::chrono::duration<double>(Clock::now() - start).count();
    char note[200];
    std::snprintf(note, sizeof note, "scan of %s done in %.1f s: %zu power system%s found, %u garbled answer%s",
                  args.scanPort.c_str(), total, found.size(), found.size() == 1 ? "" : "s", garbled,
                  garbled == 1 ? "" : "s");
    say(note);
    plugin.Release();

    if (args.writeSite) {
        const Json::Value site = SiteFor(args.scanPort, found);
        if (site["lines"].empty()) {
            say("no site file written: nothing the plug-in supports answered");
            return 1;
        }
        std::ofstream file(*args.writeSite, std::ios::trunc);
        Json::StreamWriterBuilder w;
        w["indentation"] = "  ";
        file << Json::writeString(w, site) << "\n";
        if (!file.flush()) {
            say("cannot write " + *args.writeSite);
            return 1;
        }
        say("site file " + *args.writeSite + " written: " + std::to_string(site["lines"].size()) + " line" +
            (site["lines"].size() == 1 ? "" : "s") + "; monitor --config " + *args.writeSite + " runs it");
    }
    const bool uncounted = std::any_of(found.begin(), found.end(),
                                       [](const FoundSystem& f) { return f.supported && !f.counted; });
    return found.empty() || uncounted ? 1 : 0;
}

}  // namespace monitor
