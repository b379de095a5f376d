// The one-line JSON writer against jsoncpp's own writer with the settings
// it replaced: the same bytes, and reals that read back as the same double.
#include "tools/runtime/json_line.h"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

std::string Jsoncpp(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    return Json::writeString(b, v);
}

Json::Value Parse(const std::string& text) {
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    Json::Value v;
    std::string err;
    EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &err)) << text << ": " << err;
    return v;
}

TEST(JsonLine, SameBytesAsJsoncppWithoutFractions) {
    static const char kControls[] = "nul \0 one \x01 us \x1f del \x7f";
    Json::Value nested(Json::objectValue);
    nested["z"] = Json::Value(Json::arrayValue);
    nested["a"]["b"].append(1);
    nested["a"]["b"].append(Json::Value());
    nested["a"]["b"].append(Json::Value(Json::objectValue));
    nested["m"] = "交流输入缺相告警 交流屏1输入线/相电压AB/A";
    const Json::Value cases[] = {
        Json::Value(),
        Json::Value(true),
        Json::Value(false),
        Json::Value(0),
        Json::Value(std::numeric_limits<Json::Int64>::min()),
        Json::Value(std::numeric_limits<Json::UInt64>::max()),
        Json::Value(230.0),
        Json::Value(-0.0),
        Json::Value(std::numeric_limits<double>::quiet_NaN()),
        Json::Value(std::numeric_limits<double>::infinity()),
        Json::Value(-std::numeric_limits<double>::infinity()),
        Json::Value("quote \" backslash \\ slash / tab \t nl \n cr \r bs \b ff \f"),
        Json::Value(std::string(kControls, sizeof kControls - 1)),
        Json::Value("\xff not UTF-8 \xc3"),
        Json::Value(""),
        Json::Value(Json::arrayValue),
        Json::Value(Json::objectValue),
        nested,
    };
    for (const Json::Value& v : cases) EXPECT_EQ(rt::JsonLine(v), Jsoncpp(v)) << Jsoncpp(v);
}

TEST(JsonLine, RealsReadBackAsTheSameDouble) {
    const double cases[] = {230.1f, 1e300, 0.1, 1.0 / 3, 49.98f, -12.5f, 5e-324, 1.7976931348623157e308, 123456789.125};
    for (double d : cases) {
        Json::Value v(Json::objectValue);
        v["x"] = d;
        const std::string text = rt::JsonLine(v);
        const Json::Value back = Parse(text);
        ASSERT_TRUE(back["x"].isDouble()) << text;
        const double got = back["x"].asDouble();
        EXPECT_EQ(std::memcmp(&got, &d, sizeof d), 0) << text;
        EXPECT_LE(text.size(), Jsoncpp(v).size()) << text;
    }
}

// What the general conversion writes, ".0" added to a whole number.
std::string Shortest(double d) {
    char b[32];
    const auto r = std::to_chars(b, b + sizeof b, d);
    std::string s(b, r.ptr);
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

TEST(JsonLine, RealsOfFewDecimalsAsTheGeneralConversionWritesThem) {
    std::vector<double> cases = {0.0, -0.0, 0.001, -0.001, 0.0005, 0.1, 0.25, 1.0, -1.0, 10.0, 100.5, 229.8f, 230.1,
                                 53.2f, 99999.999, -99999.999, 99999.9995, 100000.0, 1e5 + 0.5, 12345.678,
                                 0.30000000000000004, 1e-7, 4503599627370496.0};
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        const int thousandths = std::uniform_int_distribution<int>(-150'000'000, 150'000'000)(rng);
        cases.push_back(thousandths / 1000.0);
        cases.push_back(static_cast<float>(thousandths / 1000.0));  // a single widened
        cases.push_back(thousandths / 7.0);
    }
    for (double d : cases) {
        std::string out = "x";
        rt::AppendJsonReal(out, d);
        ASSERT_EQ(out, "x" + Shortest(d)) << d;
    }
}

TEST(JsonLine, AppendKeepsWhatIsThere) {
    std::string out = "data: ";
    rt::AppendJson(out, Json::Value(7));
    EXPECT_EQ(out, "data: 7");
}

}  // namespace
