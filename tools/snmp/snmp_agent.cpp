#include "tools/snmp/snmp_agent.h"

#include "tools/snmp/plant_image.h"

#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

// net-snmp last: its headers define macros of common names.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>

namespace snmp {
namespace {

constexpr const char* kAppName = "tvr27pk-monitor";
constexpr std::size_t kMaxEvents = 1000;       // waiting for the SNMP thread
constexpr int kMaxLibraryLogLines = 20;        // net-snmp's own warnings, in all
// AgentX PDU types (RFC 2741); the library keeps its names in a header it
// does not install.
constexpr int kAgentxGet = 5, kAgentxGetNext = 6, kAgentxResponse = 18;


std::vector<oid> ToOids(const Oid& o) { return std::vector<oid>(o.begin(), o.end()); }

int Compare(const oid* a, std::size_t na, const Oid& b) {
    const std::size_t n = std::min(na, b.size());
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return na == b.size() ? 0 : (na < b.size() ? -1 : 1);
}

bool HasPrefix(const Oid& o, const oid* root, std::size_t n) {
    if (o.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (o[i] != root[i]) return false;
    return true;
}

void SetValue(netsnmp_variable_list* vb, const Value& v) {
    switch (v.kind) {
        case Value::kInteger: {
            long n = static_cast<long>(v.number);
            snmp_set_var_typed_value(vb, ASN_INTEGER, &n, sizeof n);
            break;
        }
        case Value::kUnsigned:
        case Value::kCounter:
        case Value::kTicks: {
            u_long n = static_cast<u_long>(v.number);
            const u_char type = v.kind == Value::kUnsigned ? ASN_UNSIGNED
                                : v.kind == Value::kCounter ? ASN_COUNTER : ASN_TIMETICKS;
            snmp_set_var_typed_value(vb, type, &n, sizeof n);
            break;
        }
        case Value::kString:
            snmp_set_var_typed_value(vb, ASN_OCTET_STR, v.text.data(), v.text.size());
            break;
        case Value::kObject: {
            const std::vector<oid> o = ToOids(v.object);
            snmp_set_var_typed_value(vb, ASN_OBJECT_ID, o.data(), o.size() * sizeof(oid));
            break;
        }
    }
}

}  // namespace

struct Agent::State {
    struct Item {
        enum Kind { kLine, kEvent, kRound } kind = kLine;
        std::uint32_t bus = 0;
        std::string port;
        rt::RuntimeEvent event;
        model::RoundPtr round;
        Clock::time_point at{};
    };

    State(const SnmpConfig& c, rt::LogSink& l) : config(c), log(l) {}

    // Any thread.
    void Push(Item item) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (item.kind == Item::kRound) {
                // A round not yet taken is replaced by the newer one.
                auto it = std::find_if(inbox.begin(), inbox.end(), [&](const Item& i) {
                    return i.kind == Item::kRound && i.bus == item.bus;
                });
                if (it != inbox.end()) {
                    *it = std::move(item);
                    return;
                }
            } else if (item.kind == Item::kEvent &&
                       std::count_if(inbox.begin(), inbox.end(), [](const Item& i) { return i.kind == Item::kEvent; }) >=
                           static_cast<std::ptrdiff_t>(kMaxEvents)) {
                if (dropped++ == 0) log.Write("snmp: the SNMP thread is behind; events dropped until it catches up");
                return;
            }
            inbox.push_back(std::move(item));
        }
        Wake();
    }

    void Wake() {
        const char c = 1;
        if (::write(wake[1], &c, 1) < 0) {
            // The pipe is full: the thread is woken already.
        }
    }

    // --- the SNMP thread ------------------------------------------------
    void Run() {
        start = Clock::now();
        Init();
        while (true) {
            std::deque<Item> items;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopping) break;
                items.swap(inbox);
                if (dropped) {
                    log.Write("snmp: " + std::to_string(dropped) + " events dropped");
                    dropped = 0;
                }
            }
            for (Item& i : items) Take(i);
            Poll();
        }
        // The library frees what a callback was registered with.
        snmp_unregister_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, &State::LibraryLog, this, 1);
        snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, &State::Connected, this, 1);
        snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, &State::Disconnected, this, 1);
        snmp_shutdown(kAppName);
    }

    void Init() {
        current = this;
        netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
        netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, config.agentx.c_str());
        netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_CONNECTION_WARNINGS, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
        // The subagent needs no MIB files: none are searched, and what the
        // library says while it starts (modules it cannot find) is not logged.
        netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIBDIRS, "");
        snmp_disable_log();
        snmp_enable_calllog();
        snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, &State::LibraryLog, this);
        snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, &State::Connected, this);
        snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, &State::Disconnected, this);
        init_agent(kAppName);
        // After init_agent, which sets its own default (15 s).
        netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL, config.reconnect_s);
        for (const Oid& root : {Oid(kEntPhysicalEntry.begin(), kEntPhysicalEntry.end() - 1),
                                Oid(kEntPhySensorEntry.begin(), kEntPhySensorEntry.end() - 1), Under(kArc, {1})}) {
            const std::vector<oid> o = ToOids(root);
            netsnmp_handler_registration* reg =
                netsnmp_create_handler_registration(kAppName, &State::Handle, o.data(), o.size(), HANDLER_CAN_RONLY);
            reg->handler->myvoid = this;
            if (netsnmp_register_handler(reg) != MIB_REGISTERED_OK)
                log.Write("snmp: cannot register a subtree of " + std::to_string(root.size()) + " arcs");
        }
        init_snmp(kAppName);
        starting = false;
        if (!connected) {
            log.Write("snmp: no AgentX master at " + config.agentx + " yet; trying every " +
                      std::to_string(config.reconnect_s) + " s");
            outage = true;
        }
    }

    // One pass of net-snmp's work, waiting at most until its next alarm,
    // a wake-up or a second.
    void Poll() {
        int numfds = 0, block = 1;
        fd_set fds;
        FD_ZERO(&fds);
        timeval tv{1, 0};
        snmp_select_info(&numfds, &fds, &tv, &block);
        if (block || tv.tv_sec >= 1) tv = timeval{1, 0};
        FD_SET(wake[0], &fds);
        numfds = std::max(numfds, wake[0] + 1);
        const int n = ::select(numfds, &fds, nullptr, nullptr, &tv);
        if (n > 0) {
            if (FD_ISSET(wake[0], &fds)) {
                char buf[64];
                while (::read(wake[0], buf, sizeof buf) > 0) {
                }
                FD_CLR(wake[0], &fds);
            }
            snmp_read(&fds);
        } else if (n == 0) {
            snmp_timeout();
        }
        run_alarms();
        netsnmp_check_outstanding_agent_requests();
    }

    LineRecord* FindLine(std::uint32_t bus, std::uint32_t* number = nullptr) {
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].bus_data_id == bus) {
                if (number) *number = static_cast<std::uint32_t>(i + 1);
                return &lines[i];
            }
        return nullptr;
    }

    void Take(Item& item) {
        dirty = true;
        if (item.kind == Item::kLine) {
            LineRecord r;
            r.bus_data_id = item.bus;
            r.port = item.port;
            lines.push_back(std::move(r));
        } else if (item.kind == Item::kRound) {
            LineRecord* line = FindLine(item.bus);
            if (!line) return;
            if (line->round)
                line->rate_ms = static_cast<std::uint32_t>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(item.at - line->round_at).count());
            line->round = std::move(item.round);
            line->round_at = item.at;
            if (line->state == kLineStarting) line->state = kLineUp;
            alarms.Prune(line->bus_data_id, line->round->Data().active_alarms);
        } else {
            TakeEvent(item.event);
        }
    }

    void TakeEvent(const rt::RuntimeEvent& e) {
        using K = rt::EventKind;
        if (rt::IsAlarmEvent(e.kind)) {
            const model::RuleIdentity id = model::IdentityOf(e.rule);
            const AlarmBook::Row* row = nullptr;
            if (e.kind == K::kAlarmBegin) {
                row = &alarms.Begin(id, e.time, e.bus_data_id);
            } else {
                row = alarms.End(id);
                if (!row) {
                    alarms.Begin(id, e.time, e.bus_data_id);
                    row = alarms.End(id);
                }
            }
            AlarmTrap(e.kind == K::kAlarmBegin ? kAlarmBegin : kAlarmEnd, e, *row);
            return;
        }
        std::uint32_t number = 0;
        LineRecord* line = FindLine(e.bus_data_id, &number);
        if (!line) return;
        const bool lost = e.kind == K::kLineLost || e.kind == K::kPortLost;
        line->state = e.kind == K::kLineLost ? kLineLost : e.kind == K::kPortLost ? kLinePortLost : kLineUp;
        std::vector<std::pair<Oid, Value>> vars = {
            {Under(kLineEntry, {kLinePort, number}), Value{Value::kString, 0, line->port, {}}},
            {Under(kLineEntry, {kLineBusDataId, number}), Value{Value::kUnsigned, line->bus_data_id, {}, {}}},
            {Under(kLineEntry, {kLineState, number}), Value{Value::kInteger, line->state, {}, {}}},
        };
        Trap(lost ? kLineLostTrap : kLineRecovered, vars);
    }

    void AlarmTrap(std::uint32_t which, const rt::RuntimeEvent& e, const AlarmBook::Row& row) {
        const rule_value& r = e.rule;
        auto at = [&](std::uint32_t c) { return Under(kAlarmEntry, {c, r.data_id, row.index}); };
        auto text = [](const std::string& s) { return Value{Value::kString, 0, s.substr(0, 255), {}}; };
        std::vector<std::pair<Oid, Value>> vars = {
            {at(kAlarmDevice), Value{Value::kUnsigned, r.data_id, {}, {}}},
            {at(kAlarmRuleKey), text(r.key)},
            {at(kAlarmId), text(r.alarm_id)},
            {at(kAlarmLevel), Value{Value::kUnsigned, r.level, {}, {}}},
            {at(kAlarmName), text(r.name)},
            {at(kAlarmText), text(r.text)},
            {at(kAlarmSince), text(row.since)},
            {at(kAlarmLine), Value{Value::kUnsigned, e.bus_data_id, {}, {}}},
        };
        Trap(which, vars);
    }

    // Through the master to the sinks of its snmpd.conf; lost while the
    // master is away.
    void Trap(std::uint32_t which, const std::vector<std::pair<Oid, Value>>& vars) {
        static const oid kTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
        const std::vector<oid> n = ToOids(Under(kNotifications, {which}));
        netsnmp_variable_list* list = nullptr;
        snmp_varlist_add_variable(&list, kTrapOid, OID_LENGTH(kTrapOid), ASN_OBJECT_ID, n.data(),
                                  n.size() * sizeof(oid));
        for (const auto& [name, value] : vars) {
            const std::vector<oid> o = ToOids(name);
            netsnmp_variable_list* vb = snmp_varlist_add_variable(&list, o.data(), o.size(), ASN_NULL, nullptr, 0);
            if (vb) SetValue(vb, value);
        }
        send_v2trap(list);
        snmp_free_varbind(list);
    }

    const Image& Current() {
        // Rebuilt after a new round or state, or when a line's sensors turn
        // unavailable for want of one; between those only the data age
        // moves with the clock (set at most once a second).
        const auto now = Clock::now();
        if (dirty || now > staleAt) {
            image.Build(lines, alarms, now, start);
            dirty = false;
            agedAt = now;
            staleAt = Clock::time_point::max();
            for (const LineRecord& l : lines) {
                const auto until = FreshUntil(l);
                if (now <= until) staleAt = std::min(staleAt, until);
            }
        } else if (now - agedAt >= std::chrono::seconds(1)) {
            image.SetDataAges(lines, now);
            agedAt = now;
        }
        return image;
    }

    static int Handle(netsnmp_mib_handler* handler, netsnmp_handler_registration* reg,
                      netsnmp_agent_request_info* info, netsnmp_request_info* requests) {
        State& s = *static_cast<State*>(handler->myvoid);
        const Image& image = s.Current();
        for (netsnmp_request_info* r = requests; r; r = r->next) {
            if (r->processed) continue;
            netsnmp_variable_list* vb = r->requestvb;
            std::size_t i = s.Find(image, vb->name, vb->name_length);
            if (info->mode == MODE_GET) {
                if (i < image.Size() && Compare(vb->name, vb->name_length, image[i].name) == 0)
                    SetValue(vb, image[i].value);
                else
                    netsnmp_set_request_error(info, r, SNMP_NOSUCHINSTANCE);
            } else if (info->mode == MODE_GETNEXT) {
                if (i < image.Size() && Compare(vb->name, vb->name_length, image[i].name) == 0) ++i;
                if (i < image.Size() && HasPrefix(image[i].name, reg->rootoid, reg->rootoid_len)) {
                    s.lastFound = i;
                    const std::vector<oid> o = ToOids(image[i].name);
                    snmp_set_var_objid(vb, o.data(), o.size());
                    SetValue(vb, image[i].value);
                }
            } else {
                netsnmp_set_request_error(info, r, SNMP_ERR_NOTWRITABLE);
            }
        }
        return SNMP_ERR_NOERROR;
    }

    // The master's Get and GetNext, answered here from the image. The agent
    // library would hand each one through its internal callback session (a
    // pipe byte each way and three selects a request, about as much again as
    // the request's own work); everything else, and a request in a
    // non-default context, goes to the library's handler as before.
    static int Packet(int op, netsnmp_session* session, int reqid, netsnmp_pdu* pdu, void* magic) {
        State& s = *current;
        if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu &&
            (pdu->command == kAgentxGet || pdu->command == kAgentxGetNext) && pdu->community_len == 0 &&
            s.Answer(session, *pdu))
            return 1;
        return s.library ? s.library(op, session, reqid, pdu, magic) : 1;
    }

    bool Answer(netsnmp_session* session, netsnmp_pdu& request) {
        netsnmp_pdu* response = snmp_clone_pdu(&request);
        if (!response) return false;
        const Image& all = Current();
        for (netsnmp_variable_list* vb = response->variables; vb; vb = vb->next_variable) {
            if (request.command == kAgentxGet) {
                const std::size_t i = Find(all, vb->name, vb->name_length);
                if (i < all.Size() && Compare(vb->name, vb->name_length, all[i].name) == 0)
                    SetValue(vb, all[i].value);
                else
                    snmp_set_var_typed_value(vb, SNMP_NOSUCHINSTANCE, nullptr, 0);
                continue;
            }
            // The search range: from the name (itself included when the
            // master says so) up to the end it gives, if any (0.0: none).
            const bool include = vb->type == ASN_PRIV_INCL_RANGE;
            std::vector<oid> end;
            if ((vb->type == ASN_PRIV_INCL_RANGE || vb->type == ASN_PRIV_EXCL_RANGE) && vb->val.objid)
                end.assign(vb->val.objid, vb->val.objid + vb->val_len / sizeof(oid));
            if (std::all_of(end.begin(), end.end(), [](oid o) { return o == 0; })) end.clear();
            std::size_t i = Find(all, vb->name, vb->name_length);
            if (i < all.Size() && !include && Compare(vb->name, vb->name_length, all[i].name) == 0) ++i;
            if (i < all.Size() && (end.empty() || Compare(end.data(), end.size(), all[i].name) > 0)) {
                lastFound = i;
                const std::vector<oid> o = ToOids(all[i].name);
                snmp_set_var_objid(vb, o.data(), o.size());
                SetValue(vb, all[i].value);
            } else {
                snmp_set_var_typed_value(vb, SNMP_ENDOFMIBVIEW, nullptr, 0);
            }
        }
        response->command = kAgentxResponse;
        response->version = session->version;
        response->errstat = 0;
        response->errindex = 0;
        if (!snmp_send(session, response)) snmp_free_pdu(response);
        return true;
    }

    // The first entry not before name.
    std::size_t Find(const Image& all, const oid* name, std::size_t n) {
        // A walk asks next for the entry answered last: looked at first.
        if (lastFound < all.Size() && Compare(name, n, all[lastFound].name) == 0) return lastFound;
        std::size_t lo = 0, hi = all.Size();
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (Compare(name, n, all[mid].name) > 0) lo = mid + 1;
            else hi = mid;
        }
        return lo;
    }

    static int Connected(int, int, void* session, void* self) {
        State& s = *static_cast<State*>(self);
        // The library's new session to the master (also after a reconnect).
        auto* sess = static_cast<netsnmp_session*>(session);
        if (sess && sess->callback != &State::Packet) {
            s.library = sess->callback;
            sess->callback = &State::Packet;
        }
        s.connected = true;
        if (s.outage) s.log.Write("snmp: connected to the AgentX master at " + s.config.agentx);
        else s.log.Write("snmp: subagent of the AgentX master at " + s.config.agentx);
        s.outage = false;
        return 0;
    }

    static int Disconnected(int, int, void*, void* self) {
        State& s = *static_cast<State*>(self);
        s.connected = false;
        if (!s.outage)
            s.log.Write("snmp: the AgentX master at " + s.config.agentx + " went away; trying every " +
                        std::to_string(s.config.reconnect_s) + " s");
        s.outage = true;
        return 0;
    }

    static int LibraryLog(int, int, void* message, void* self) {
        State& s = *static_cast<State*>(self);
        const auto* m = static_cast<const snmp_log_message*>(message);
        if (s.starting || !m || !m->msg || m->priority > LOG_WARNING || s.libraryLines >= kMaxLibraryLogLines) return 0;
        std::string text = m->msg;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (++s.libraryLines == kMaxLibraryLogLines) text += " (further net-snmp messages not logged)";
        s.log.Write("snmp: net-snmp: " + text);
        return 0;
    }

    SnmpConfig config;
    rt::LogSink& log;
    std::mutex mutex;
    std::deque<Item> inbox;
    std::size_t dropped = 0;
    bool stopping = false;
    int wake[2] = {-1, -1};
    std::thread thread;

    // The SNMP thread's own.
    Clock::time_point start{};
    std::vector<LineRecord> lines;
    AlarmBook alarms;
    Image image;
    Clock::time_point staleAt{};
    Clock::time_point agedAt{};
    std::size_t lastFound = 0;  // the image's entry answered last to a GetNext
    bool dirty = true;
    bool connected = false;
    bool outage = false;
    bool starting = true;
    int libraryLines = 0;
    netsnmp_callback library = nullptr;  // the agent library's AgentX packet handler
    // The one agent of the process (the library's state is the process's).
    static inline State* current = nullptr;
};

Agent::Agent(const SnmpConfig& config, rt::LogSink& log) : state_(std::make_unique<State>(config, log)) {
    if (::pipe2(state_->wake, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("snmp: cannot make a pipe");
    state_->thread = std::thread([s = state_.get()] { s->Run(); });
}

Agent::~Agent() {
    Stop();
    ::close(state_->wake[0]);
    ::close(state_->wake[1]);
}

void Agent::AddLine(std::uint32_t busDataId, const std::string& port) {
    State::Item i;
    i.kind = State::Item::kLine;
    i.bus = busDataId;
    i.port = port;
    state_->Push(std::move(i));
}

void Agent::Event(const rt::RuntimeEvent& e) {
    State::Item i;
    i.kind = State::Item::kEvent;
    i.event = e;
    state_->Push(std::move(i));
}

void Agent::Round(model::RoundPtr round) {
    State::Item i;
    i.kind = State::Item::kRound;
    i.bus = round->Data().bus_data_id;
    i.round = std::move(round);
    i.at = Clock::now();
    state_->Push(std::move(i));
}

void Agent::Stop() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stopping = true;
    }
    state_->Wake();
    if (state_->thread.joinable()) state_->thread.join();
}

}  // namespace snmp
