// The publisher against a broker that sends what it was not asked for (a
// hostile or impersonated broker on plain mqtt://): nothing it sends on a
// topic that was not subscribed, or while remote writes are off, is looked
// at; and the CONNECT tells it the largest packet the service takes.
#include <gtest/gtest.h>

#include <QJsonObject>
#include <vector>

#include "service/mqtt/scale_publisher.h"
#include "tests/mqtt/fake_broker.h"
#include "tests/support/event_loop.h"

namespace orva::mqtt {
namespace {

using orva::testing::runFor;
using orva::testing::runUntil;
using testing::FakeBroker;

struct Case {
    const char* name;
    bool remoteWrites;
    const char* topic;  // sent by the broker
    int qos;
};

TEST(HostileBroker, NothingUnsubscribedOrWithWritesOffIsApplied) {
    const std::vector<Case> cases{
        {"writes off, a set topic of ours", false, "site/pc1/s1/set", 1},
        {"writes off, QoS 0", false, "site/pc1/s1/set", 0},
        {"writes on, another prefix", true, "other/pc9/s1/set", 1},
        {"writes on, a deeper topic", true, "site/pc1/s1/set/x", 1},
        {"writes on, a reading topic", true, "site/pc1/s1/reading", 0},
        {"writes on, a wildcard for an id", true, "site/pc1/+/set", 1},
        {"writes on, a wildcard in an id", true, "site/pc1/a#b/set", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBroker broker;
        std::vector<std::string> log;
        std::vector<SettingLine> lines{{"url", broker.url(), 1}, {"topic_prefix", "site/pc1", 2}, {"keepalive", "5", 3}};
        if (c.remoteWrites) lines.push_back({"remote_writes", "on", 4});
        ScalePublisher publisher(parseMqttSettings(lines, "pc1", 1), [&](const std::string& l) { log.push_back(l); });
        int writes = 0;
        publisher.setWriteProperties([&](const QString&, const QJsonObject&) {
            ++writes;
            return QJsonObject{{"ok", true}};
        });
        publisher.start();
        ASSERT_TRUE(runUntil([&] { return publisher.link().isConnected() && broker.connected(); }, 5000));
        runFor(100);
        EXPECT_EQ(broker.subscribes(), c.remoteWrites ? 1 : 0);
        for (int i = 0; i < 20; ++i) broker.publish(c.topic, R"({"MinFixVes": 777})", c.qos);
        ASSERT_TRUE(runUntil([&] { return publisher.link().counters().unsubscribed >= 20; }, 5000))
            << publisher.link().counters().unsubscribed;
        runFor(100);
        EXPECT_EQ(writes, 0);
        EXPECT_TRUE(publisher.link().isConnected());
        // Logged, but not once per message.
        int dropped = 0;
        for (const std::string& l : log) dropped += l.find("did not subscribe to") != std::string::npos;
        EXPECT_GE(dropped, 1);
        EXPECT_LE(dropped, FoldedLog::kBurst);
    }
}

TEST(HostileBroker, TheConnectAsksForMqtt5AndNamesTheLargestPacket) {
    FakeBroker broker;
    ScalePublisher publisher(
        parseMqttSettings({{"url", broker.url(), 1}, {"remote_writes", "on", 2}, {"keepalive", "5", 3}}, "pc1", 1),
        [](const std::string&) {});
    publisher.start();
    ASSERT_TRUE(runUntil([&] { return publisher.link().isConnected(); }, 5000));
    EXPECT_EQ(broker.protocolLevel(), 5);
    EXPECT_EQ(broker.maximumPacketSize(), MqttLink::kMaxIncomingPacket);
    EXPECT_GE(MqttLink::kMaxIncomingPacket, static_cast<std::uint32_t>(ScalePublisher::kMaxSetPayload) + 1024);
}

TEST(HostileBroker, ABrokerWithoutMqtt5IsUsedWith311AndStillCheckedAgainstTheSubscriptions) {
    FakeBroker broker(false);
    std::vector<std::string> log;
    ScalePublisher publisher(
        parseMqttSettings({{"url", broker.url(), 1}, {"topic_prefix", "site/pc1", 2}, {"keepalive", "5", 3}}, "pc1", 1),
        [&](const std::string& l) { log.push_back(l); });
    int writes = 0;
    publisher.setWriteProperties([&](const QString&, const QJsonObject&) {
        ++writes;
        return QJsonObject{{"ok", true}};
    });
    publisher.start();
    ASSERT_TRUE(runUntil([&] { return publisher.link().isConnected() && broker.connected(); }, 5000));
    EXPECT_EQ(broker.protocolLevel(), 4);
    EXPECT_EQ(publisher.link().protocolVersion(), 4);
    EXPECT_EQ(broker.connects(), 2);
    broker.publish("site/pc1/s1/set", R"({"MinFixVes": 777})", 1);
    ASSERT_TRUE(runUntil([&] { return publisher.link().counters().unsubscribed == 1; }, 5000));
    EXPECT_EQ(writes, 0);
    ASSERT_GE(log.size(), 1u);
    EXPECT_NE(log[0].find("does not speak MQTT 5; using 3.1.1"), std::string::npos) << log[0];
}

// A broker that ignores the largest packet the CONNECT named: the service
// stops reading it soon after that size, rather than take hundreds of MiB.
TEST(HostileBroker, APacketLargerThanTheServiceTakesIsCutOff) {
    FakeBroker broker;
    std::vector<std::string> log;
    ScalePublisher publisher(
        parseMqttSettings({{"url", broker.url(), 1}, {"topic_prefix", "site/pc1", 2}, {"remote_writes", "on", 3}}, "pc1", 1),
        [&](const std::string& l) { log.push_back(l); });
    int writes = 0;
    publisher.setWriteProperties([&](const QString&, const QJsonObject&) {
        ++writes;
        return QJsonObject{{"ok", true}};
    });
    publisher.start();
    ASSERT_TRUE(runUntil([&] { return publisher.link().isConnected() && broker.subscribes() == 1; }, 5000));
    constexpr std::uint32_t kAnnounced = 200u * 1024 * 1024;
    broker.publishHuge("site/pc1/s1/set", kAnnounced);
    ASSERT_TRUE(runUntil([&] { return publisher.link().counters().oversized == 1; }, 10000)) << broker.hugeSent();
    runFor(300);
    // What it took: the bound and what the sockets held at once, not 200 MiB.
    EXPECT_LT(broker.hugeSent(), 32 * 1024 * 1024) << broker.hugeSent();
    EXPECT_EQ(writes, 0);
    int said = 0;
    for (const std::string& l : log) said += l.find("sent a packet larger than") != std::string::npos;
    EXPECT_EQ(said, 1);
    // And it connects again, as after any loss.
    EXPECT_TRUE(runUntil([&] { return publisher.link().isConnected() && broker.connects() == 2; }, 5000));
}

}  // namespace
}  // namespace orva::mqtt
