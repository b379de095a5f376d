// The site's "mqtt" member and --mqtt: what is taken, and what is refused
// with a message naming the bad part.
#include "tools/mqtt/mqtt_config.h"

#include "tools/runtime/tests/temp_dir.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <fstream>
#include <sstream>

namespace mqtt {
namespace {

Json::Value Site(const std::string& mqttMember) {
    Json::Value v;
    std::istringstream in("{\"mqtt\": " + mqttMember + "}");
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr)) << mqttMember;
    return v;
}

// Files the "password_file" and "ca_file" rows name.
struct Files {
    Files() {
        std::ofstream(dir.Path() + "/empty");
        std::ofstream(dir.Path() + "/password") << "pw 1\r\nsecond line\n";
        std::ofstream(dir.Path() + "/ca.pem") << "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
    }
    std::string Path(const char* name) const { return dir.Path() + "/" + name; }
    rttest::TempDir dir;
};

TEST(MqttConfig, UrlsAndDefaults) {
    struct Case { const char* url; const char* host; int port; bool tls; };
    for (const Case& c : {Case{"mqtt://b", "b", 1883, false}, Case{"mqtts://b.example:9", "b.example", 9, true},
                          Case{"mqtt://[::1]:1884/", "::1", 1884, false}, Case{"mqtts://[fe80::1]", "fe80::1", 8883, true}}) {
        const auto m = MqttConfigFromSite(Site(std::string("{\"url\": \"") + c.url + "\"}"), std::nullopt);
        ASSERT_TRUE(m) << c.url;
        EXPECT_EQ(m->host, c.host) << c.url;
        EXPECT_EQ(m->port, c.port) << c.url;
        EXPECT_EQ(m->tls, c.tls) << c.url;
    }
    EXPECT_FALSE(MqttConfigFromSite(Json::Value(Json::objectValue), std::nullopt));
    EXPECT_EQ(MqttConfigFromSite(Site("{\"url\": \"mqtt://a\"}"), std::string("mqtt://c:2"))->host, "c");

    const Files f;
    const auto m = MqttConfigFromSite(Site("{\"url\": \"mqtts://b\", \"username\": \"u\", \"password_file\": \"" +
                                           f.Path("password") + "\", \"ca_file\": \"" + f.Path("ca.pem") + "\"}"),
                                      std::nullopt);
    EXPECT_EQ(m->password, "pw 1");
    EXPECT_EQ(m->ca_file, f.Path("ca.pem"));
}

TEST(MqttConfig, BadMembersAreNamed) {
    const Files f;
    const std::string tls = "{\"url\": \"mqtts://b\", ";
    struct Case { std::string member; const char* message; };
    for (const Case& c : {Case{tls + "\"username\": \"u\", \"password_file\": \"" + f.Path("empty") + "\"}", "is empty"},
                          Case{tls + "\"password_file\": \"" + f.Path("password") + "\"}", "mqtt.password_file: needs a \"username\""},
                          Case{tls + "\"ca_file\": \"" + f.Path("none.pem") + "\"}", "mqtt.ca_file: cannot read"},
                          Case{tls + "\"ca_file\": \"" + f.Path("password") + "\"}", "holds no PEM certificate"},
                          Case{"{\"url\": \"mqtt://b\", \"ca_file\": \"" + f.Path("ca.pem") + "\"}", "needs an mqtts:// URL"},
                          Case{"{}", "mqtt.url: is required"}, Case{"{\"url\": \"http://b\"}", "must start with mqtt://"},
                          Case{"{\"url\": \"mqtt://b:0\"}", "bad port '0'"}, Case{"{\"url\": \"mqtt://b:x\"}", "bad port"},
                          Case{"{\"url\": \"mqtt://u@b\"}", "no user"}, Case{"{\"url\": \"mqtt://\"}", "names no host"},
                          Case{"{\"url\": \"mqtt://b\", \"qos\": 3}", "mqtt.qos"},
                          Case{"{\"url\": \"mqtt://b\", \"topic_prefix\": \"a/#\"}", "mqtt.topic_prefix"},
                          Case{"{\"url\": \"mqtt://b\", \"queue_size\": 0}", "mqtt.queue_size"},
                          Case{"{\"url\": \"mqtt://b\", \"password_file\": \"/nonexistent\"}", "password_file"},
                          Case{"{\"url\": \"mqtt://b\", \"retain\": true}", "unknown key \"retain\""}}) {
        try {
            MqttConfigFromSite(Site(c.member), std::nullopt);
            ADD_FAILURE() << c.member << " accepted";
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.member << ": " << e.what();
        }
    }
}

}  // namespace
}  // namespace mqtt
