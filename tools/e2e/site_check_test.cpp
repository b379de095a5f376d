// monitor check: a table of broken site files, each naming its problem by
// the key's path, and the example site files of the tree, sound once the
// files they name exist.
#include "tools/e2e/child_process.h"
#include "tools/e2e/plant_plan.h"
#include "tools/e2e/round_checks.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>
#include <sstream>

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Checked {
    int status = -1;
    std::vector<std::string> lines;
    std::string Text() const {
        std::string t;
        for (const auto& l : lines) t += l + "\n";
        return t;
    }
};

Checked Check(const std::string& site, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args = {"check", site, "--plugin", REAL_PLUGIN};
    args.insert(args.end(), more.begin(), more.end());
    // The problems come on standard error.
    TempDir dir;
    const std::string err = dir.Path() + "/stderr";
    Checked c;
    {
        ChildProcess monitor(MONITOR_BIN, args, err);
        std::string line;
        EXPECT_FALSE(monitor.Line(line, Clock::now() + 60s)) << "on standard output: " << line;
        c.status = monitor.Wait(30s);
    }
    std::istringstream text(ReadFile(err));
    for (std::string line; std::getline(text, line);) c.lines.push_back(line);
    return c;
}

// "@" in a case's text stands for the test's scratch folder.
std::string Expand(std::string text, const std::string& dir) {
    for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + dir.size()))
        text.replace(at, 1, dir);
    return text;
}

TEST(SiteCheck, EveryProblemOnItsOwnLineWithTheKeysPath) {
    TempDir dir;
    WriteFile(dir.Path() + "/empty", "");
    WriteFile(dir.Path() + "/not-a-cert.pem", "hello\n");
    WriteFile(dir.Path() + "/notify.sh", "#!/bin/sh\n");  // not executable
    const std::string unit = R"("acSetting": [{"data_id": 2}], "dcSetting": [{"data_id": 3}], "rcSetting": {})";
    const std::string line = R"({"port": "/dev/x", "data_id": 1, )" + unit + "}";
    struct Case {
        std::string site;
        std::vector<std::string> problems;  // each the start of a line of the output
    };
    const Case cases[] = {
        {R"({"baud_rate": 9600, "port": "/dev/x", )" + unit + "}",
         {R"(baud_rate: unknown key "baud_rate"; did you mean "baud"?)"}},
        {R"({"port": "/dev/x", "acsetting": [], )" + unit + "}", {R"(acsetting: unknown key "acsetting"; did you mean "acSetting"?)"}},
        {R"({"port": "/dev/x", "timeout_ms": "1s", "address": 0, "parity": "mark", )" + unit + "}",
         {"timeout_ms: must be a number from 10 to 600000", "address: must be a number from 1 to 254",
          "parity: must be \"none\", \"even\" or \"odd\""}},
        {R"({"lines": [)" + line + R"(, {"port": "/dev/y", "data_id": 10, "dcSetting": [{"data_id": 2}], "rcSetting": {}}]})",
         {"lines[1].dcSetting[0].data_id: 2 is also lines[0].acSetting[0].data_id; data ids must be unique"}},
        {R"({"lines": [)" + line + R"(, {"port": "/dev/x", "data_id": 10, "rcSetting": {}, "tiemout_ms": 5}]})",
         {"lines[1]: address 1 on /dev/x is also lines[0]'s", R"(lines[1].tiemout_ms: unknown key "tiemout_ms"; did you mean "timeout_ms"?)"}},
        {R"({"port": "/dev/x", "lines": [)" + line + "]}", {"port: belongs in each element of \"lines\""}},
        {R"({"port": "/dev/x", "acSetting": {"data_id": 2}, "dcSetting": [{"appSetting": {"diff_v": "x", "diff": 1}}, 5]})",
         {"acSetting: must be a list of unit objects", "dcSetting[0].data_id: missing; the unit would get data id 0",
          "dcSetting[0].appSetting.diff_v: must be a number of at least 0",
          R"(dcSetting[0].appSetting.diff: unknown key "diff"; did you mean "diff_v"?)", "dcSetting[1]: must be an object",
          "rcSetting: missing; the bus device refuses a line without it"}},
        {R"({"port": "/dev/x", "rcSetting": {"data_id": 7}})", {R"(rcSetting.data_id: unknown key "data_id")"}},
        {R"({"port": "/dev/x", "database": {"file": "h.db"}, "log_file": 7, )" + unit + "}",
         {"database: must be a string", "log_file: must be a string"}},
        {R"({"port": "/dev/x", "database": "@/no/such/h.db", "log_file": "@/nowhere/m.log", )" + unit + "}",
         {"database: the folder @/no/such does not exist", "log_file: the folder @/nowhere does not exist"}},
        {R"({"port": "/dev/x", "http": {"listen": "127.0.0.1:99999", "token_file": "@/none", "listen_on": 1}, )" + unit + "}",
         {"http.listen: port '99999' is not a number", "http.token_file: cannot read @/none",
          R"(http.listen_on: unknown key "listen_on"; did you mean "listen"?)"}},
        {R"({"port": "/dev/x", "mqtt": {"url": "mqtts://b", "username": "u", "password_file": "@/empty", "ca_file": "@/not-a-cert.pem", "qos": 5}, )" +
             unit + "}",
         {"mqtt.password_file: @/empty is empty", "mqtt.ca_file: @/not-a-cert.pem holds no PEM certificate",
          "mqtt.qos: must be 0, 1 or 2"}},
        {R"({"port": "/dev/x", "notify": {"command": "@/notify.sh", "max_running": 0}, )" + unit + "}",
         {"notify.command: @/notify.sh is not an executable file", "notify.max_running: must be a whole number from 1 to 64"}},
        {R"({"port": "/dev/x", "baud": 9600, "baud": 19200, )" + unit + "}", {"not valid JSON: "}},
        {R"([1, 2])", {"not a JSON object"}},
    };
    for (const Case& c : cases) {
        const std::string path = dir.Path() + "/site.json";
        WriteFile(path, Expand(c.site, dir.Path()));
        const Checked got = Check(path);
        EXPECT_EQ(got.status, 1) << c.site << "\n" << got.Text();
        for (const std::string& p : c.problems) {
            const std::string want = Expand(p, dir.Path());
            bool found = false;
            for (const std::string& l : got.lines) found = found || l.rfind(want, 0) == 0;
            EXPECT_TRUE(found) << "missing \"" << want << "\" for " << c.site << " in\n" << got.Text();
        }
        // One line per problem, then the count.
        ASSERT_FALSE(got.lines.empty());
        const std::size_t n = got.lines.size() - 1;
        EXPECT_EQ(got.lines.back(), path + ": " + std::to_string(n) + (n == 1 ? " problem" : " problems")) << got.Text();
        EXPECT_GE(n, c.problems.size()) << got.Text();
    }
    // A plug-in that cannot be loaded is a problem too.
    WriteFile(dir.Path() + "/site.json", R"({"port": "/dev/x", )" + unit + "}");
    const Checked noPlugin = Check(dir.Path() + "/site.json", {"--plugin", dir.Path() + "/none.so"});
    EXPECT_EQ(noPlugin.status, 1);
    EXPECT_NE(noPlugin.Text().find("cannot load the plug-in"), std::string::npos) << noPlugin.Text();
}

// The example site files pass once the files they name exist: their
// absolute paths are moved into the scratch folder, where the test makes
// the password, CA and notify files and the database folder.
TEST(SiteCheck, ExampleSiteFilesAreSound) {
    TempDir dir;
    const std::string root = dir.Path();
    ::mkdir((root + "/etc").c_str(), 0755);
    ::mkdir((root + "/etc/tvr27pk").c_str(), 0755);
    ::mkdir((root + "/var").c_str(), 0755);
    ::mkdir((root + "/var/lib").c_str(), 0755);
    ::mkdir((root + "/var/lib/tvr27pk").c_str(), 0755);
    WriteFile(root + "/etc/tvr27pk/mqtt.password", "secret\n");
    WriteFile(root + "/etc/tvr27pk/broker-ca.pem", "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n");
    WriteFile(root + "/etc/tvr27pk/notify.sh", "#!/bin/sh\n");
    ::chmod((root + "/etc/tvr27pk/notify.sh").c_str(), 0755);
    for (const char* example : {"tools/monitor/site.example.json", "tools/monitor/site.mqtt.example.json",
                                "bench/site.json"}) {
        const std::string text = ReadFile(std::string(SOURCE_DIR) + "/" + example);
        ASSERT_FALSE(text.empty()) << example;
        const std::string moved =
            std::regex_replace(text, std::regex("\"/(etc|var)/"), "\"" + root + "/$1/");
        const std::string path = root + "/site.json";
        WriteFile(path, moved);
        const Checked got = Check(path);
        EXPECT_EQ(got.status, 0) << example << "\n" << got.Text();
        EXPECT_EQ(got.Text(), path + ": no problems found\n") << example;
    }
}

}  // namespace
}  // namespace e2e
