// The [mqtt] section: defaults, the url forms, and every refusal naming its line.
#include <gtest/gtest.h>

#include "service/mqtt/mqtt_settings.h"

namespace orva::mqtt {
namespace {

MqttSettings parse(std::vector<SettingLine> lines) { return parseMqttSettings(lines, "line3", 42, 7); }

int refusedLine(std::vector<SettingLine> lines, const std::string& mention) {
    try {
        parse(std::move(lines));
    } catch (const MqttSettingsError& e) {
        EXPECT_NE(std::string(e.what()).find(mention), std::string::npos) << e.what();
        return e.line();
    }
    ADD_FAILURE() << "accepted";
    return -1;
}

TEST(MqttSettings, DefaultsFollowTheHostName) {
    MqttSettings s = parse({{"url", "mqtt://broker.site", 8}});
    EXPECT_EQ(s.host, "broker.site");
    EXPECT_EQ(s.port, 1883);
    EXPECT_FALSE(s.tls);
    EXPECT_EQ(s.topicPrefix, "orva/line3");
    EXPECT_EQ(s.clientId, "orva-line3-42");
    EXPECT_TRUE(s.events);
    EXPECT_FALSE(s.remoteWrites);
    EXPECT_EQ(s.queueLimit, 1000);
    EXPECT_EQ(brokerDescription(s), "mqtt://broker.site:1883");
}

TEST(MqttSettings, UrlFormsAndSwitches) {
    MqttSettings s = parse({{"url", "mqtts://[::1]:9883/", 8},
                            {"ca_file", "/etc/site/ca.pem", 9},
                            {"cert_file", "c.pem", 10},
                            {"key_file", "k.pem", 11},
                            {"events", "off", 12},
                            {"remote_writes", "Yes", 13},
                            {"queue_limit", "5", 14},
                            {"topic_prefix", "site1/line2", 15}});
    EXPECT_TRUE(s.tls);
    EXPECT_EQ(s.host, "::1");
    EXPECT_EQ(s.port, 9883);
    EXPECT_EQ(brokerDescription(s), "mqtts://[::1]:9883");
    EXPECT_FALSE(s.events);
    EXPECT_TRUE(s.remoteWrites);
    EXPECT_EQ(s.queueLimit, 5);
    EXPECT_EQ(s.topicPrefix, "site1/line2");
    EXPECT_EQ(parse({{"url", "mqtts://b", 1}}).port, 8883);
}

TEST(MqttSettings, RefusalsNameTheLineAndTheReason) {
    EXPECT_EQ(refusedLine({}, "needs url"), 7);
    EXPECT_EQ(refusedLine({{"url", "http://b", 9}}, "mqtt://"), 9);
    EXPECT_EQ(refusedLine({{"url", "mqtt://user:pw@b", 9}}, "username"), 9);
    EXPECT_EQ(refusedLine({{"url", "mqtt://b:0", 9}}, "1 to 65535"), 9);
    EXPECT_EQ(refusedLine({{"url", "mqtt://b:", 9}}, "empty port"), 9);
    EXPECT_EQ(refusedLine({{"url", "mqtt://:1883", 9}}, "no host"), 9);
    EXPECT_EQ(refusedLine({{"url", "mqtt://b", 8}, {"url", "mqtt://c", 9}}, "twice"), 9);
    EXPECT_EQ(refusedLine({{"url", "mqtt://b", 8}, {"colour", "red", 10}}, "unknown key"), 10);
    EXPECT_EQ(refusedLine({{"url", "mqtt://b", 8}, {"events", "maybe", 11}}, "on or off"), 11);
    EXPECT_EQ(refusedLine({{"url", "mqtt://b", 8}, {"queue_limit", "0", 12}}, "whole number"), 12);
    EXPECT_EQ(refusedLine({{"url", "mqtt://b", 8}, {"queue_limit", "10x", 12}}, "whole number"), 12);
    EXPECT_EQ(refusedLine({{"url", "mqtt://b", 8}, {"topic_prefix", "site/#", 13}}, "wildcards"), 13);
    EXPECT_EQ(refusedLine({{"url", "mqtt://b", 8}, {"topic_prefix", "site//x", 13}}, "empty"), 13);
    EXPECT_EQ(refusedLine({{"url", "mqtt://b", 8}, {"topic_prefix", "$SYS/x", 13}}, "broker"), 13);
    EXPECT_EQ(refusedLine({{"url", "mqtt://b", 8}, {"password", "pw", 14}}, "without username"), 14);
    EXPECT_EQ(refusedLine({{"url", "mqtts://b", 8}, {"cert_file", "c.pem", 15}}, "go together"), 15);
    EXPECT_EQ(refusedLine({{"url", "mqtt://b", 8}, {"ca_file", "ca.pem", 16}}, "mqtts://"), 16);
}

}  // namespace
}  // namespace orva::mqtt
