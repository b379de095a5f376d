// The monitor on a Mosquitto broker that takes only TLS and a password, with
// a certificate authority, certificates and a password file the test makes
// (openssl, mosquitto_passwd): with the right CA and password it publishes,
// and a subscriber with the same credentials sees "online" and the devices'
// states; a wrong password, a CA that did not sign the broker's certificate,
// a certificate for another host and no ca_file (the system's CAs) each
// leave polling alone and are logged once, naming the broker and the reason.
#include "tools/e2e/child_process.h"
#include "tools/e2e/mqtt_broker.h"
#include "tools/e2e/plant_plan.h"
#include "tools/e2e/round_checks.h"
#include "tools/e2e/sim_run.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <set>

namespace e2e {
namespace {

using namespace std::chrono_literals;

// Runs a program to its end, its standard error into log.
void Run(const std::string& program, const std::vector<std::string>& args, const std::string& log) {
    ASSERT_EQ(::access(program.c_str(), X_OK), 0) << program << " missing: ./x setup installs it";
    ChildProcess p(program, args, log);
    ASSERT_EQ(p.Wait(30s), 0) << program << ":\n" << ReadFile(log);
}

// dir/name.key and dir/name.pem: a CA of its own when ca is empty, else a
// server certificate for subjectAltName san signed by dir/ca.pem.
void Certificate(const std::string& dir, const std::string& name, const std::string& ca, const std::string& san) {
    std::vector<std::string> args = {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                     "-nodes", "-days", "2", "-subj", "/CN=" + name, "-keyout", dir + "/" + name + ".key",
                                     "-out", dir + "/" + name + ".pem"};
    if (!ca.empty())
        args.insert(args.end(), {"-CA", dir + "/" + ca + ".pem", "-CAkey", dir + "/" + ca + ".key", "-addext",
                                 "subjectAltName=" + san, "-addext", "basicConstraints=CA:FALSE"});
    Run(OPENSSL_BIN, args, dir + "/openssl.log");
}

constexpr const char* kUser = "site7";
constexpr const char* kPassword = "s3cret pass";

// A broker with two TLS listeners, one with a certificate for 127.0.0.1 and
// one with a certificate for another name, both signed by the test's CA; a
// second CA signed nothing the broker has.
struct SecureBroker {
    explicit SecureBroker(const std::string& d) : dir(d) {
        EXPECT_EQ(::access(MOSQUITTO_BIN, X_OK), 0) << "no mosquitto broker (" MOSQUITTO_BIN "): ./x setup installs it";
        Certificate(dir, "ca", "", "");
        Certificate(dir, "other-ca", "", "");
        Certificate(dir, "server", "ca", "IP:127.0.0.1,DNS:localhost");
        Certificate(dir, "elsewhere", "ca", "DNS:elsewhere.example");
        Run(MOSQUITTO_PASSWD_BIN, {"-c", "-b", dir + "/passwd", kUser, kPassword}, dir + "/passwd.log");
        std::string settings = "per_listener_settings false\nallow_anonymous false\npassword_file " + dir + "/passwd\n";
        for (const auto& [port, cert] : {std::pair{tls, "server"}, std::pair{elsewhere, "elsewhere"}})
            settings += "listener " + std::to_string(port) + " 127.0.0.1\ncafile " + dir + "/ca.pem\ncertfile " + dir +
                        "/" + cert + ".pem\nkeyfile " + dir + "/" + cert + ".key\n";
        broker = std::make_unique<Broker>(dir, tls, settings);
        broker->Start();
    }
    ~SecureBroker() { broker->Stop(); }
    std::string Url(int port) const { return "mqtts://127.0.0.1:" + std::to_string(port); }

    const std::string dir;
    const std::vector<int> ports = FreePorts(2);
    const int tls = ports[0], elsewhere = ports[1];
    std::unique_ptr<Broker> broker;
};

// pmbus-sim and the monitor on it, publishing with these "mqtt" settings.
struct MonitorRun {
    MonitorRun(const Plan& plan, const Json::Value& mqtt, const std::string& password, int rounds) : run(plan) {
        const std::string dir = run.dir.Path();
        WriteFile(dir + "/password", password + "\n");
        Json::Value site = plan.Site(run.database);
        site["mqtt"] = mqtt;
        site["mqtt"]["topic_prefix"] = "e2e";
        site["mqtt"]["username"] = kUser;
        site["mqtt"]["password_file"] = dir + "/password";
        WriteFile(dir + "/site.json", rt::JsonLine(site));
        std::vector<std::string> args = {"--config", dir + "/site.json", "--port", run.pts, "--plugin", REAL_PLUGIN,
                                         "--json", "--log", run.hostLog};
        if (rounds) args.insert(args.end(), {"--rounds", std::to_string(rounds)});
        monitor = std::make_unique<ChildProcess>(MONITOR_BIN, args, run.hostLog);
    }
    // The next --json round, null when none came.
    Json::Value Next() {
        std::string line;
        return monitor->Line(line, std::chrono::steady_clock::now() + 60s) ? ParseLine(line) : Json::Value();
    }

    SimRun run;
    std::unique_ptr<ChildProcess> monitor;
};

// No alarm in the rounds these tests see.
Plan Quiet() {
    Plan plan;
    plan.phaseLoss = plan.moduleFault = plan.fuseFault = {90, 91};
    return plan;
}

TEST(MqttTls, PublishesWithTheRightCaAndPassword) {
    const Plan plan = Quiet();
    TempDir dir;
    SecureBroker broker(dir.Path());
    Json::Value mqtt;
    mqtt["url"] = broker.Url(broker.tls);
    mqtt["ca_file"] = dir.Path() + "/ca.pem";
    MonitorRun m(plan, mqtt, kPassword, 0);
    std::vector<Json::Value> rounds = {m.Next(), m.Next()};
    ASSERT_EQ(rounds[1]["round"].asUInt64(), 2u) << ReadFile(m.run.hostLog);

    // Retained: "online" and each device's state of a round so far.
    const auto children = plan.ChildIds();  // the rectifiers' id is the bus device's
    const std::set<std::uint32_t> ids(children.begin(), children.end());
    ChildProcess sub(MOSQUITTO_SUB_BIN,
                     {"-h", "127.0.0.1", "-p", std::to_string(broker.tls), "--cafile", dir.Path() + "/ca.pem", "-u",
                      kUser, "-P", kPassword, "-t", "e2e/status", "-t", "e2e/+/state", "-v", "-C",
                      std::to_string(1 + ids.size()), "-W", "20"},
                     dir.Path() + "/sub.log");
    std::map<std::string, std::string> got;
    for (std::string line; sub.Line(line, std::chrono::steady_clock::now() + 30s);)
        got[line.substr(0, line.find(' '))] = line.substr(line.find(' ') + 1);
    EXPECT_EQ(sub.Wait(10s), 0) << ReadFile(dir.Path() + "/sub.log");
    m.monitor->Signal(SIGTERM);
    for (Json::Value r = m.Next(); !r.isNull(); r = m.Next()) rounds.push_back(r);
    EXPECT_EQ(m.monitor->Wait(30s), 0);
    m.run.StopSim();

    EXPECT_EQ(got["e2e/status"], "online");
    for (std::uint32_t id : ids) {
        const Json::Value state = ParseLine(got["e2e/" + std::to_string(id) + "/state"]);
        const std::uint64_t r = state["round"].asUInt64();
        ASSERT_TRUE(r >= 1 && r <= rounds.size()) << id << ": " << rt::JsonLine(state);
        for (const auto& d : rounds[r - 1]["devices"]) {
            if (d["data_id"].asUInt() == id) {
                EXPECT_TRUE(state["signals"] == d["signals"]) << id;
            }
        }
    }
    EXPECT_EQ(got.size(), 1 + ids.size());
    const std::string log = ReadFile(m.run.hostLog);
    EXPECT_NE(log.find("mqtt: connected to " + broker.Url(broker.tls) + " as "), std::string::npos) << log;
}

TEST(MqttTls, RefusalsAreLoggedOnceAndPollingGoesOn) {
    const Plan plan = Quiet();
    TempDir dir;
    SecureBroker broker(dir.Path());
    const std::string ca = dir.Path() + "/ca.pem";
    struct Case { const char* what; const char* password; std::string ca; int port; std::string reason; };
    const Case cases[] = {
        {"wrong password", "not it", ca, broker.tls, "not authorised"},
        {"CA that did not sign the broker's certificate", kPassword, dir.Path() + "/other-ca.pem", broker.tls,
         "certificate verify failed (checked against ca_file " + dir.Path() + "/other-ca.pem)"},
        {"certificate for another host", kPassword, ca, broker.elsewhere,
         "host name verification failed (the certificate is not for 127.0.0.1)"},
        {"no ca_file: the system's CAs", kPassword, "", broker.tls, "certificate verify failed (checked against the system's"},
    };
    // All at once: each its own simulator and monitor, two rounds long.
    std::vector<std::unique_ptr<MonitorRun>> runs;
    for (const Case& c : cases) {
        Json::Value mqtt;
        mqtt["url"] = broker.Url(c.port);
        if (!c.ca.empty()) mqtt["ca_file"] = c.ca;
        runs.push_back(std::make_unique<MonitorRun>(plan, mqtt, c.password, 2));
    }
    for (std::size_t k = 0; k < runs.size(); ++k) {
        MonitorRun& m = *runs[k];
        EXPECT_EQ(m.Next()["round"].asUInt64(), 1u) << cases[k].what;
        EXPECT_EQ(m.Next()["round"].asUInt64(), 2u) << cases[k].what;
        EXPECT_EQ(m.monitor->Wait(30s), 0) << cases[k].what;
        m.run.StopSim();
        const std::string log = ReadFile(m.run.hostLog);
        std::vector<std::string> lines;
        for (std::size_t at = log.find("mqtt: "); at != std::string::npos; at = log.find("mqtt: ", at + 1))
            lines.push_back(log.substr(at, log.find('\n', at) - at));
        ASSERT_EQ(lines.size(), 1u) << cases[k].what << ":\n" << log;
        EXPECT_NE(lines[0].find(broker.Url(cases[k].port)), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find(cases[k].reason), std::string::npos) << cases[k].what << ": " << lines[0];
    }
}

}  // namespace
}  // namespace e2e
