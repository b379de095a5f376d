// Splitting a site file into lines, and the checks that refuse a site at
// start-up with the place named.
#include "tools/runtime/site_lines.h"

#include <json/reader.h>
#include <gtest/gtest.h>

#include <sstream>

namespace rttest {
namespace {

Json::Value Parse(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string err;
    std::istringstream in(text);
    if (!Json::parseFromStream(b, in, &v, &err)) throw std::runtime_error(err);
    return v;
}

struct Good {
    const char* site;
    const char* lines;  // where:port:data_id:database, one per line, ';' between
};

std::string Describe(const std::vector<rt::SiteLine>& lines) {
    std::string out;
    for (const auto& l : lines) {
        if (!out.empty()) out += ";";
        out += l.where + ":" + l.options.line.path + ":" + std::to_string(l.options.data_id) + ":" + l.options.database;
    }
    return out;
}

TEST(SiteLines, SplitsTheSiteIntoLines) {
    const Good cases[] = {
        // Today's single-line file is one line, its keys as they are.
        {R"({"port":"/dev/a","data_id":7,"database":"h.db","acSetting":[{"data_id":8}],"rcSetting":{}})",
         "site:/dev/a:7:h.db"},
        {R"({"database":"h.db","log_file":"m.log","lines":[
              {"port":"/dev/a","data_id":10,"acSetting":[{"data_id":11}],"dcSetting":[{"data_id":12}],"rcSetting":{}},
              {"port":"/dev/b","data_id":20,"acSetting":[{"data_id":21}],"rcSetting":{}}]})",
         "lines[0]:/dev/a:10:h.db;lines[1]:/dev/b:20:h.db"},
        // Two power systems on one bus: one port, two addresses.
        {R"({"lines":[{"port":"/dev/a","address":1,"data_id":1},{"port":"/dev/a","address":2,"data_id":2}]})",
         "lines[0]:/dev/a:1:;lines[1]:/dev/a:2:"},
    };
    for (const Good& c : cases) {
        SCOPED_TRACE(c.site);
        const auto lines = rt::SiteLines(Parse(c.site));
        EXPECT_EQ(Describe(lines), c.lines);
    }
    // The bus device gets the line's own object.
    const auto two = rt::SiteLines(Parse(cases[1].site));
    EXPECT_EQ(two[1].config["acSetting"][0]["data_id"].asUInt(), 21u);
    EXPECT_FALSE(two[1].config.isMember("database"));
}

struct Bad {
    const char* site;
    const char* error;
};

TEST(SiteLines, RefusesASiteNamingThePlace) {
    const Bad cases[] = {
        {R"({"lines":[{"port":"/dev/a","data_id":5,"acSetting":[{"data_id":6},{"data_id":5}]}]})",
         "lines[0].data_id and lines[0].acSetting[1].data_id are both 5"},
        {R"({"lines":[{"port":"/dev/a","data_id":1,"acSetting":[{"data_id":3},{"data_id":5}]},
                      {"port":"/dev/b","data_id":5}]})",
         "lines[0].acSetting[1].data_id and lines[1].data_id are both 5"},
        {R"({"lines":[{"port":"/dev/a","data_id":1,"dcSetting":[{"data_id":9}]},
                      {"port":"/dev/b","data_id":2,"dcSetting":[{"data_id":9}]}]})",
         "lines[0].dcSetting[0].data_id and lines[1].dcSetting[0].data_id are both 9"},
        {R"({"port":"/dev/a","data_id":4,"dcSetting":[{"data_id":4}]})", "data_id and dcSetting[0].data_id are both 4"},
        {R"({"lines":[{"port":"/dev/a","data_id":1},{"port":"/dev/b"},{"port":"/dev/c"}]})",
         "lines[1].data_id and lines[2].data_id are both 0"},
        {R"({"lines":[{"port":"/dev/a","data_id":1,"acSetting":[{"data_id":"x"}]}]})",
         "lines[0].acSetting[0].data_id must be a number"},
        {R"({"lines":[{"port":"/dev/a","data_id":1},{"port":"/dev/a","data_id":2}]})",
         "lines[0] and lines[1] are both address 1 on /dev/a"},
        {R"({"lines":[{"port":"/dev/a","data_id":1,"baud":9600},{"port":"/dev/a","address":2,"data_id":2,"baud":19200}]})",
         "lines[0] and lines[1] share /dev/a but not its line settings"},
        {R"({"lines":[{"port":"/dev/a","data_id":1,"timeout_ms":"long"}]})", "lines[0]: \"timeout_ms\" must be"},
        {R"({"port":"/dev/a","lines":[{"port":"/dev/b"}]})", "\"port\" belongs in each element of \"lines\""},
        {R"({"lines":[]})", "\"lines\" must be a list of one or more"},
        {R"({"lines":{"port":"/dev/a"}})", "\"lines\" must be a list of one or more"},
        {R"({"lines":[{"port":"/dev/a"},7]})", "lines[1] must be an object"},
        {R"({"database":5,"port":"/dev/a"})", "\"database\" must be a string"},
    };
    for (const Bad& c : cases) {
        SCOPED_TRACE(c.site);
        try {
            rt::SiteLines(Parse(c.site));
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace rttest
