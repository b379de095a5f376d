// A site file split into lines, or refused at start-up with the place named.
#include "tools/runtime/site_lines.h"

#include <json/reader.h>
#include <gtest/gtest.h>

#include <sstream>

namespace rttest {
namespace {

// "where:port:data_id:database;..." of the lines, or "error: " and the message.
std::string Lines(const std::string& text) {
    Json::Value site;
    std::istringstream in(text);
    Json::CharReaderBuilder b;
    std::string out;
    if (!Json::parseFromStream(b, in, &site, &out)) return "bad test JSON: " + out;
    try {
        for (const auto& l : rt::SiteLines(site))
            out += (out.empty() ? "" : ";") + l.where + ":" + l.options.line.path + ":" +
                   std::to_string(l.options.data_id) + ":" + l.options.database + ":" +
                   std::to_string(l.config["acSetting"][0]["data_id"].asUInt());
    } catch (const std::invalid_argument& e) {
        out = std::string("error: ") + e.what();
    }
    return out;
}

TEST(SiteLines, SplitsOrRefusesNamingThePlace) {
    const std::pair<const char*, const char*> cases[] = {
        // A file without "lines" is one line, as before.
        {R"({"port":"/a","data_id":7,"database":"h.db","acSetting":[{"data_id":8}]})", "site:/a:7:h.db:8"},
        {R"({"database":"h.db","log_file":"m.log","lines":[{"port":"/a","data_id":10,"acSetting":[{"data_id":11}]},
             {"port":"/b","data_id":20,"acSetting":[{"data_id":21}],"dcSetting":[{"data_id":22}]}]})",
         "lines[0]:/a:10:h.db:11;lines[1]:/b:20:h.db:21"},
        // Two power systems on one bus.
        {R"({"lines":[{"port":"/a","address":1,"data_id":1},{"port":"/a","address":2,"data_id":2}]})",
         "lines[0]:/a:1::0;lines[1]:/a:2::0"},
        {R"({"lines":[{"port":"/a","data_id":1,"acSetting":[{"data_id":3},{"data_id":5}]},{"port":"/b","data_id":5}]})",
         "error: configuration: lines[1].data_id: 5 is also lines[0].acSetting[1].data_id; data ids must be unique "
         "across the site"},
        {R"({"lines":[{"port":"/a","data_id":1,"dcSetting":[{"data_id":9}]},{"port":"/b","data_id":2,"rcSetting":[{"data_id":9}]}]})",
         "error: configuration: lines[1].rcSetting[0].data_id: 9 is also lines[0].dcSetting[0].data_id"},
        {R"({"port":"/a","data_id":4,"dcSetting":[{"data_id":4}]})", "error: configuration: dcSetting[0].data_id: 4 is also data_id"},
        {R"({"lines":[{"port":"/a","data_id":1},{"port":"/b"},{"port":"/c"}]})", "error: configuration: lines[2].data_id: 0 is also lines[1].data_id"},
        {R"({"lines":[{"port":"/a","acSetting":[{"data_id":"x"}]}]})", "error: configuration: lines[0].acSetting[0].data_id: must be a number"},
        {R"({"lines":[{"port":"/a","data_id":1},{"port":"/a","data_id":2}]})", "error: configuration: lines[1]: address 1 on /a is also lines[0]'s"},
        {R"({"lines":[{"port":"/a","data_id":1},{"port":"/a","address":2,"data_id":2,"baud":19200}]})",
         "error: configuration: lines[1]: shares /a with lines[0] but not its line settings"},
        {R"({"lines":[{"port":"/a","timeout_ms":"long"}]})", "error: configuration: lines[0].timeout_ms: must be a number from 10 to 600000"},
        {R"({"port":"/a","lines":[{"port":"/b"}]})", "error: configuration: port: belongs in each element of \"lines\", not at the top"},
        {R"({"lines":[]})", "error: configuration: lines: must be a list of one or more line objects"},
        {R"({"lines":[{"port":"/a"},7]})", "error: configuration: lines[1]: must be an object"},
        {R"({"database":5,"port":"/a"})", "error: configuration: database: must be a string"},
    };
    for (const auto& c : cases) {
        const std::string got = Lines(c.first), want = c.second;
        // An error message starts with the text given.
        EXPECT_EQ(want.rfind("error", 0) == 0 ? got.substr(0, want.size()) : got, want) << c.first;
    }
}

}  // namespace
}  // namespace rttest
