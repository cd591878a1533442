// The publisher against a real broker: what a consumer sees, and what
// survives a broker that is absent, killed, restarted, frozen or refusing.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <algorithm>
#include <memory>
#include <set>

#include "service/mqtt/scale_publisher.h"
#include "tests/mqtt/broker.h"
#include "tests/support/event_loop.h"

namespace orva::mqtt {
namespace {

using testing::Broker;
using testing::Consumer;
using testing::Received;
using orva::testing::runFor;
using orva::testing::runUntil;

struct Log {
    std::vector<std::string> lines;
    MqttLink::Log sink() {
        return [this](const std::string& line) { lines.push_back(line); };
    }
    int count(const std::string& part) const {
        return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                              [&](const std::string& l) { return l.find(part) != std::string::npos; }));
    }
};

MqttSettings settingsFor(const Broker& broker, std::vector<SettingLine> extra = {}) {
    extra.push_back({"url", broker.url(), 1});
    extra.push_back({"keepalive", "5", 2});
    if (std::none_of(extra.begin(), extra.end(), [](const SettingLine& l) { return l.key == "topic_prefix"; }))
        extra.push_back({"topic_prefix", "site/pc1", 3});
    static int publishers = 0;
    return parseMqttSettings(extra, "pc1", ++publishers);  // every publisher its own client id
}

QJsonObject scale(const char* id, double weight, const char* updated) {
    return QJsonObject{{"id", id}, {"weight", weight}, {"online", true}, {"updated", updated}};
}

QJsonObject json(const QString& text) { return QJsonDocument::fromJson(text.toUtf8()).object(); }

bool connectedSoon(ScalePublisher& publisher, int timeoutMs = 10000) {
    return runUntil([&] { return publisher.link().isConnected(); }, timeoutMs);
}

// The weights of the stable messages in the order they came, each once.
std::vector<double> stableWeights(Consumer& consumer, const QString& topic) {
    std::vector<double> weights;
    for (const Received& r : consumer.on(topic)) weights.push_back(json(r.payload)["weight"].toDouble());
    return weights;
}

std::vector<double> range(int from, int to) {
    std::vector<double> v;
    for (int i = from; i <= to; ++i) v.push_back(i);
    return v;
}

TEST(PublisherBroker, RetainedReadingOnChangeOnlyAndStatusOnline) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Log log;
    ScalePublisher publisher(settingsFor(broker), log.sink());
    publisher.reading("s1", scale("s1", 1.5, "t1"));
    publisher.start();
    ASSERT_TRUE(connectedSoon(publisher));

    // A consumer that comes later still finds the state: both are retained.
    Consumer consumer(broker.port(), {"site/pc1/#"}, true);
    ASSERT_TRUE(consumer.waitSubscribed());
    ASSERT_TRUE(consumer.waitFor([](auto& r) { return r.size() >= 2; }, 5000));
    auto reading = consumer.on("site/pc1/s1/reading");
    ASSERT_EQ(reading.size(), 1u);
    EXPECT_TRUE(reading[0].retain);
    EXPECT_EQ(json(reading[0].payload)["weight"].toDouble(), 1.5);
    auto status = consumer.on("site/pc1/status");
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].payload, "online");
    EXPECT_TRUE(status[0].retain);

    // The same reading at a later poll is no news, nor a lamp stepping on
    // during a settling; a new weight is.
    publisher.reading("s1", scale("s1", 1.5, "t2"));
    QJsonObject lampOn = scale("s1", 1.5, "t3");
    lampOn.insert("panel", QJsonObject{{"Shape1", QJsonArray{65280, 255, 255}}});
    publisher.reading("s1", lampOn);
    publisher.reading("s1", scale("s1", 2.0, "t4"));
    ASSERT_TRUE(consumer.waitFor([&](auto&) { return consumer.on("site/pc1/s1/reading").size() >= 2; }, 5000));
    reading = consumer.on("site/pc1/s1/reading");
    ASSERT_EQ(reading.size(), 2u);
    EXPECT_EQ(json(reading[1].payload)["updated"].toString(), "t4");
    EXPECT_EQ(publisher.readingsPublished(), 2);
}

TEST(PublisherBroker, AScaleThatIsGoneLeavesNoRetainedReading) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Log log;
    ScalePublisher publisher(settingsFor(broker), log.sink());
    for (const char* id : {"s1", "s2", "s3"}) publisher.reading(id, scale(id, 1.5, "t1"));
    publisher.start();
    ASSERT_TRUE(connectedSoon(publisher));
    runFor(300);
    // s2 goes while the broker is there, s3 while it is away (it keeps its
    // retained messages on disk across the stop).
    publisher.forget("s2");
    broker.stop();
    ASSERT_TRUE(runUntil([&] { return !publisher.link().isConnected(); }, 3000));
    publisher.forget("s3");
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(connectedSoon(publisher, 8000));
    runFor(300);

    Consumer late(broker.port(), {"site/pc1/+/reading"}, true);
    ASSERT_TRUE(late.waitSubscribed());
    ASSERT_TRUE(late.waitFor([](auto& r) { return !r.empty(); }, 5000));
    runFor(300);
    auto shown = [&](const char* topic) {
        const auto on = late.on(topic);
        return std::count_if(on.begin(), on.end(), [](const Received& r) { return !r.payload.isEmpty(); });
    };
    EXPECT_EQ(shown("site/pc1/s1/reading"), 1);
    EXPECT_EQ(shown("site/pc1/s2/reading"), 0);
    EXPECT_EQ(shown("site/pc1/s3/reading"), 0);
}

TEST(PublisherBroker, EveryStableOnceInOrderAndEventsWhenTurnedOn) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Consumer consumer(broker.port(), {"site/+/+/stable", "site/+/+/event"});
    ASSERT_TRUE(consumer.waitSubscribed());
    Log log;
    ScalePublisher withEvents(settingsFor(broker), log.sink());
    ScalePublisher quiet(settingsFor(broker, {{"topic_prefix", "site/pc2", 3}, {"events", "off", 4}}), log.sink());
    withEvents.start();
    quiet.start();
    ASSERT_TRUE(connectedSoon(withEvents));
    ASSERT_TRUE(connectedSoon(quiet));
    for (int i = 1; i <= 50; ++i) {
        withEvents.stable("s1", i, "kg", "2026-01-01T00:00:00.000Z");
        quiet.stable("s9", i, "kg", "2026-01-01T00:00:00.000Z");
        QByteArray event = R"({"event":"StabVes","VesBrutoNVT":)" + QByteArray::number(i) + "}";
        withEvents.publishEvent("s1", event);
        quiet.publishEvent("s9", event);
    }
    ASSERT_TRUE(consumer.waitFor([&](auto&) {
        return stableWeights(consumer, "site/pc1/s1/stable").size() >= 50 &&
               stableWeights(consumer, "site/pc2/s9/stable").size() >= 50 &&
               consumer.on("site/pc1/s1/event").size() >= 50;
    }, 10000));
    runFor(300);
    EXPECT_EQ(stableWeights(consumer, "site/pc1/s1/stable"), range(1, 50));
    EXPECT_EQ(stableWeights(consumer, "site/pc2/s9/stable"), range(1, 50));
    auto first = json(consumer.on("site/pc1/s1/stable").front().payload);
    EXPECT_EQ(first.keys(), (QStringList{"at", "unit", "weight"}));
    EXPECT_EQ(first["unit"].toString(), "kg");
    EXPECT_FALSE(consumer.on("site/pc1/s1/stable").front().retain);
    EXPECT_EQ(consumer.on("site/pc1/s1/event").size(), 50u);
    EXPECT_EQ(json(consumer.on("site/pc1/s1/event")[4].payload)["VesBrutoNVT"].toInt(), 5);
    EXPECT_TRUE(consumer.on("site/pc2/s9/event").empty());
}

TEST(PublisherBroker, AbsentAtStartThenKilledAndRestartedLosesNoStable) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Consumer consumer(broker.port(), {"site/pc1/+/stable"});
    ASSERT_TRUE(consumer.waitSubscribed());
    broker.stop();  // its sessions are kept on disk

    Log log;
    ScalePublisher publisher(settingsFor(broker), log.sink());
    publisher.reading("s1", scale("s1", 3.0, "t1"));
    publisher.stable("s1", 1, "kg", "a");  // held until the broker is there
    publisher.start();
    runFor(1500);
    EXPECT_FALSE(publisher.link().isConnected());
    EXPECT_GE(publisher.link().counters().connectFailures, 2);
    EXPECT_EQ(log.count("cannot reach"), 1) << "one line for an absent broker, not one per attempt";

    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(connectedSoon(publisher, 8000));
    for (int i = 2; i <= 10; ++i) publisher.stable("s1", i, "kg", "b");
    // A broker keeps what it has acknowledged only in memory until its next
    // save, so a kill may take an acknowledged message with it: that is the
    // broker's durability, not the publisher's. These reach the consumer
    // first; what the kill tests is what the broker never acknowledged.
    ASSERT_TRUE(consumer.waitFor([&](auto&) { return stableWeights(consumer, "site/pc1/s1/stable").size() >= 10; }, 15000));

    // Frozen, then killed: what is sent to it then and published while it is
    // away comes after its restart.
    broker.suspend();
    for (int i = 11; i <= 25; ++i) publisher.stable("s1", i, "kg", "c");
    runFor(300);
    broker.kill();
    for (int i = 26; i <= 40; ++i) publisher.stable("s1", i, "kg", "c");
    runUntil([&] { return !publisher.link().isConnected(); }, 3000);
    runFor(1000);
    for (int i = 41; i <= 60; ++i) publisher.stable("s1", i, "kg", "d");
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(connectedSoon(publisher, 8000));
    ASSERT_TRUE(consumer.waitFor([&](auto&) {
        auto w = stableWeights(consumer, "site/pc1/s1/stable");
        return std::set<double>(w.begin(), w.end()).size() >= 60;
    }, 15000)) << [&] {
        std::string all;
        for (double w : stableWeights(consumer, "site/pc1/s1/stable")) all += std::to_string(int(w)) + " ";
        for (auto& l : log.lines) all += "\n" + l;
        return all + "\n" + broker.logLines("PUBLISH").left(20000).toStdString() + broker.logLines("onnect").toStdString();
    }();
    auto weights = stableWeights(consumer, "site/pc1/s1/stable");
    EXPECT_EQ(std::set<double>(weights.begin(), weights.end()).size(), 60u);
    // A message the broker took but had not acknowledged may come twice;
    // at most the window of such messages.
    EXPECT_LE(weights.size(), 60u + MqttLink::kInFlightWindow);
    EXPECT_EQ(log.count("lost"), 1);

    // Back with an empty disk: the reading is retained again at once.
    broker.kill();
    broker.wipe();
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(runUntil([&] { return !publisher.link().isConnected(); }, 3000) || true);
    ASSERT_TRUE(connectedSoon(publisher, 10000));
    Consumer late(broker.port(), {"site/pc1/s1/reading", "site/pc1/status"}, true);
    ASSERT_TRUE(late.waitSubscribed());
    ASSERT_TRUE(late.waitFor([](auto& r) { return r.size() >= 2; }, 5000));
    EXPECT_EQ(json(late.on("site/pc1/s1/reading").at(0).payload)["weight"].toDouble(), 3.0);
    EXPECT_EQ(late.on("site/pc1/status").at(0).payload, "online");
}

TEST(PublisherBroker, HeldQueueIsBoundedAndDropsTheOldestFirst) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Consumer consumer(broker.port(), {"site/pc1/+/stable"});
    ASSERT_TRUE(consumer.waitSubscribed());
    broker.stop();  // its sessions are kept on disk

    Log log;
    ScalePublisher publisher(settingsFor(broker, {{"queue_limit", "10", 4}}), log.sink());
    publisher.start();
    for (int i = 1; i <= 25; ++i) publisher.stable("s1", i, "kg", "x");
    EXPECT_EQ(publisher.link().held(), 10u);
    EXPECT_EQ(publisher.link().counters().droppedQueued, 15);

    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(connectedSoon(publisher, 8000));
    ASSERT_TRUE(consumer.waitFor([&](auto&) { return stableWeights(consumer, "site/pc1/s1/stable").size() >= 10; }, 15000));
    runFor(300);
    EXPECT_EQ(stableWeights(consumer, "site/pc1/s1/stable"), range(16, 25));
    EXPECT_EQ(log.count("15 held messages were dropped"), 1);
}

TEST(PublisherBroker, JournalSyncsOncePerWakeUpAndEmptiesWhenTheBrokerHasAll) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Consumer consumer(broker.port(), {"site/pc1/+/stable"});
    ASSERT_TRUE(consumer.waitSubscribed());
    broker.stop();

    QTemporaryDir dir;
    const QString journal = dir.filePath("service.mqtt-journal");
    Log log;
    ScalePublisher publisher(settingsFor(broker), log.sink(), journal.toStdString());
    publisher.start();
    for (int i = 1; i <= 10; ++i) publisher.stable("s1", i, "kg", "x");  // one wake-up of the scales
    runFor(100);
    EXPECT_EQ(publisher.link().journal()->syncs(), 1);
    EXPECT_EQ(publisher.link().journal()->held(), 10u);
    publisher.stable("s1", 11, "kg", "x");
    runFor(100);
    EXPECT_EQ(publisher.link().journal()->syncs(), 2);

    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(connectedSoon(publisher, 8000));
    ASSERT_TRUE(consumer.waitFor([&](auto&) { return stableWeights(consumer, "site/pc1/s1/stable").size() >= 11; }, 15000));
    EXPECT_EQ(stableWeights(consumer, "site/pc1/s1/stable"), range(1, 11));
    ASSERT_TRUE(runUntil([&] { return publisher.link().journal()->held() == 0; }, 5000));
    EXPECT_EQ(QFileInfo(journal).size(), 0);
}

TEST(PublisherBroker, FrozenBrokerLosesNoStable) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Consumer consumer(broker.port(), {"site/pc1/+/stable"});
    ASSERT_TRUE(consumer.waitSubscribed());
    Log log;
    ScalePublisher publisher(settingsFor(broker), log.sink());
    publisher.start();
    ASSERT_TRUE(connectedSoon(publisher));

    broker.suspend();
    // Events are live only: while the broker does not take them they are
    // not stacked up; settled weights are.
    for (int i = 1; i <= 40; ++i) {
        publisher.stable("s1", i, "kg", "x");
        for (int k = 0; k < 50; ++k)
            publisher.publishEvent("s1", R"({"event":"Decode","pad":")" + QByteArray(20000, 'p') + "\"}");
        runFor(50);
    }
    broker.resume();
    ASSERT_TRUE(consumer.waitFor([&](auto&) { return stableWeights(consumer, "site/pc1/s1/stable").size() >= 40; }, 15000));
    runFor(300);
    EXPECT_EQ(stableWeights(consumer, "site/pc1/s1/stable"), range(1, 40));
    EXPECT_GT(publisher.link().counters().droppedQos0, 0);
}

TEST(PublisherBroker, ConnectToAFrozenBrokerWaitsQuietlyAndCompletesWhenItWakes) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    broker.suspend();  // the kernel still accepts the connection; nobody answers
    Log log;
    ScalePublisher publisher(settingsFor(broker), log.sink());
    publisher.start();
    runFor(2000);
    EXPECT_FALSE(publisher.link().isConnected());
    // Waiting for the broker's answer is no busy loop over a writable socket.
    EXPECT_LT(publisher.link().counters().socketWakeUps, 10);
    broker.resume();
    EXPECT_TRUE(connectedSoon(publisher));
}

TEST(PublisherBroker, RefusedLoginGivesOneLogLine) {
    Broker broker("scale-service", "right");
    ASSERT_TRUE(broker.start());
    Log log;
    ScalePublisher wrong(settingsFor(broker, {{"username", "scale-service", 4}, {"password", "wrong", 5}}), log.sink());
    wrong.start();
    runFor(4500);
    EXPECT_FALSE(wrong.link().isConnected());
    EXPECT_GE(wrong.link().counters().connectFailures, 3) << "it keeps trying";
    ASSERT_EQ(log.lines.size(), 1u) << "one line, not one per attempt";
    EXPECT_NE(log.lines[0].find("refused the connection as \"scale-service\""), std::string::npos) << log.lines[0];

    Log good;
    ScalePublisher right(settingsFor(broker, {{"username", "scale-service", 4}, {"password", "right", 5}}), good.sink());
    right.start();
    EXPECT_TRUE(connectedSoon(right));
}

TEST(PublisherBroker, LastWillSaysOfflineWhenTheServiceIsKilled) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Consumer consumer(broker.port(), {"site/pc7/status"});
    ASSERT_TRUE(consumer.waitSubscribed());
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {"--child-publisher", QString::fromStdString(broker.url()), "site/pc7"});
    ASSERT_TRUE(runUntil([&] { return child.canReadLine() || child.state() == QProcess::NotRunning; }, 10000));
    ASSERT_EQ(child.readLine().trimmed(), "connected");
    ASSERT_TRUE(consumer.waitFor([](auto& r) { return !r.empty(); }, 5000));
    EXPECT_EQ(consumer.on("site/pc7/status").back().payload, "online");

    child.kill();  // SIGKILL: no goodbye from the service itself
    child.waitForFinished(3000);
    ASSERT_TRUE(consumer.waitFor([](auto& r) { return r.size() >= 2; }, 10000));
    EXPECT_EQ(consumer.on("site/pc7/status").back().payload, "offline");
}

void sendTo(const Broker& broker, const char* topic, const char* payload, bool retain = false) {
    QStringList args{"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-q", "1", "-t", topic, "-m", payload};
    if (retain) args << "-r";
    QProcess::execute("mosquitto_pub", args);
}

TEST(PublisherBroker, RemoteWritesOnlyWhenAllowed) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Consumer consumer(broker.port(), {"+/+/+/set/result"});
    ASSERT_TRUE(consumer.waitSubscribed());
    Log log;
    const MqttSettings closedSettings = settingsFor(broker, {{"topic_prefix", "a/pc", 3}});
    const MqttSettings openSettings = settingsFor(broker, {{"topic_prefix", "b/pc", 3}, {"remote_writes", "on", 4}});
    ScalePublisher closed(closedSettings, log.sink());
    ScalePublisher open(openSettings, log.sink());
    std::vector<std::pair<QString, QJsonObject>> writes;
    auto write = [&](const QString& id, const QJsonObject& properties) {
        writes.emplace_back(id, properties);
        return QJsonObject{{"ok", true}, {"properties", properties}};
    };
    closed.setWriteProperties(write);
    open.setWriteProperties(write);
    closed.start();
    open.start();
    ASSERT_TRUE(connectedSoon(closed));
    ASSERT_TRUE(connectedSoon(open));
    runFor(300);  // the subscriptions are acknowledged

    sendTo(broker, "a/pc/s1/set", R"({"MinFixVes": 100})");
    sendTo(broker, "b/pc/s2/set", R"({"MinFixVes": 200})");
    sendTo(broker, "b/pc/s2/set", "not json");
    // A well-formed write one byte over the limit is refused before it is parsed.
    const std::string padded = R"({"MinFixVes": 300, "pad": ")";
    const std::string large = padded + std::string(ScalePublisher::kMaxSetPayload + 1 - padded.size() - 2, 'x') + "\"}";
    ASSERT_EQ(large.size(), std::size_t(ScalePublisher::kMaxSetPayload) + 1);
    sendTo(broker, "b/pc/s2/set", large.c_str());
    ASSERT_TRUE(consumer.waitFor([](auto& r) { return r.size() >= 3; }, 10000));
    runFor(300);

    // With writes off the service does not even listen: no subscription, no answer.
    EXPECT_TRUE(broker.logLines("SUBSCRIBE from " + QByteArray::fromStdString(closedSettings.clientId)).isEmpty());
    EXPECT_FALSE(broker.logLines("SUBSCRIBE from " + QByteArray::fromStdString(openSettings.clientId)).isEmpty());
    EXPECT_TRUE(consumer.on("a/pc/s1/set/result").empty());
    auto results = consumer.on("b/pc/s2/set/result");
    ASSERT_EQ(results.size(), 3u);
    EXPECT_TRUE(json(results[0].payload)["ok"].toBool());
    EXPECT_FALSE(json(results[1].payload)["ok"].toBool());
    EXPECT_FALSE(json(results[2].payload)["ok"].toBool());
    EXPECT_EQ(log.count("refused a property write on s2 from the broker: the message is larger than 64 KiB"), 1);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].first, "s2");
    EXPECT_EQ(writes[0].second["MinFixVes"].toInt(), 200);
    EXPECT_EQ(log.count("on s1"), 0);
    EXPECT_EQ(log.count("refused a property write on s2 from the broker: expected a JSON object"), 1);
}

TEST(PublisherBroker, RetainedWriteIsNeverAppliedAndIsCleared) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    // Left on the broker by some earlier client, before the service starts.
    sendTo(broker, "b/pc/s3/set", R"({"MinFixVes": 300})", true);
    Log log;
    ScalePublisher open(settingsFor(broker, {{"topic_prefix", "b/pc", 3}, {"remote_writes", "on", 4}}), log.sink());
    std::vector<QString> writes;
    open.setWriteProperties([&](const QString& id, const QJsonObject&) {
        writes.push_back(id);
        return QJsonObject{{"ok", true}};
    });
    open.start();
    ASSERT_TRUE(connectedSoon(open));
    ASSERT_TRUE(runUntil([&] { return log.count("ignored a retained property write on s3") == 1; }, 5000));
    runFor(300);
    EXPECT_TRUE(writes.empty());

    // Cleared: a newcomer finds nothing retained there, and a live write still works.
    Consumer late(broker.port(), {"b/pc/+/set"}, true);
    ASSERT_TRUE(late.waitSubscribed());
    runFor(500);
    for (const Received& r : late.received()) EXPECT_FALSE(r.retain && !r.payload.isEmpty()) << r.payload.toStdString();
    sendTo(broker, "b/pc/s3/set", R"({"MinFixVes": 310})");
    ASSERT_TRUE(runUntil([&] { return writes.size() == 1; }, 5000));
    EXPECT_EQ(writes[0], "s3");
}

TEST(PublisherBroker, RepliesHaveTheirOwnBoundAndPushOutNoSettledWeight) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Consumer consumer(broker.port(), {"site/pc1/+/stable"});
    ASSERT_TRUE(consumer.waitSubscribed());
    broker.stop();

    Log log;
    ScalePublisher publisher(settingsFor(broker, {{"queue_limit", "10", 4}}), log.sink());
    publisher.start();
    for (int i = 1; i <= 10; ++i) publisher.stable("s1", i, "kg", "x");
    for (int i = 0; i < 250; ++i) publisher.link().publishReply("site/pc1/s1/set/result", R"({"ok":false})");
    EXPECT_EQ(publisher.link().held(), 10u);
    EXPECT_EQ(publisher.link().counters().droppedQueued, 0);
    EXPECT_EQ(publisher.link().heldReplies(), MqttLink::kReplyLimit);
    EXPECT_EQ(publisher.link().counters().droppedReplies, 250 - static_cast<long long>(MqttLink::kReplyLimit));

    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(connectedSoon(publisher, 8000));
    ASSERT_TRUE(consumer.waitFor([&](auto&) { return stableWeights(consumer, "site/pc1/s1/stable").size() >= 10; }, 15000));
    EXPECT_EQ(stableWeights(consumer, "site/pc1/s1/stable"), range(1, 10));
}

// A publisher with remote writes on under b/pc whose writes are recorded
// (and refused for scales it does not have).
struct Writable {
    Log log;
    std::vector<std::pair<QString, QJsonObject>> writes;
    std::unique_ptr<ScalePublisher> publisher;
    Writable(const Broker& broker, std::vector<SettingLine> extra = {}) {
        extra.push_back({"topic_prefix", "b/pc", 3});
        extra.push_back({"remote_writes", "on", 4});
        publisher = std::make_unique<ScalePublisher>(settingsFor(broker, extra), log.sink());
        publisher->setWriteProperties([this](const QString& id, const QJsonObject& properties) {
            if (id.size() > 8) return QJsonObject{{"ok", false}, {"error", "unknown scale " + id}};
            writes.emplace_back(id, properties);
            return QJsonObject{{"ok", true}};
        });
        publisher->start();
    }
    MqttLink& link() { return publisher->link(); }
};

// What a newcomer finds retained under a filter: the non-empty ones.
int retainedFound(const Broker& broker, const QString& filter) {
    Consumer late(broker.port(), {filter}, true);
    if (!late.waitSubscribed()) return -1;
    runFor(700);
    const auto& all = late.received();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [](const Received& r) { return r.retain && !r.payload.isEmpty(); }));
}

TEST(PublisherBroker, ARetainedWritePublishedWhileConnectedIsNotAppliedAndIsCleared) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Writable open(broker);
    ASSERT_TRUE(connectedSoon(*open.publisher));
    runFor(300);  // subscribed
    EXPECT_EQ(open.link().protocolVersion(), 5);
    sendTo(broker, "b/pc/s3/set", R"({"MinFixVes": 130})", true);
    ASSERT_TRUE(runUntil([&] { return open.log.count("ignored a retained property write on s3") == 1; }, 5000));
    runFor(300);
    EXPECT_TRUE(open.writes.empty());
    EXPECT_EQ(retainedFound(broker, "b/pc/+/set"), 0);
    // A live write still goes through.
    sendTo(broker, "b/pc/s3/set", R"({"MinFixVes": 131})");
    ASSERT_TRUE(runUntil([&] { return open.writes.size() == 1; }, 5000));
    EXPECT_EQ(open.writes[0].second["MinFixVes"].toInt(), 131);
}

TEST(PublisherBroker, AWriteTooLargeToTakeIsDroppedByTheBroker) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Consumer consumer(broker.port(), {"b/pc/+/set/result"});
    ASSERT_TRUE(consumer.waitSubscribed());
    Writable open(broker);
    ASSERT_TRUE(connectedSoon(*open.publisher));
    runFor(300);
    const std::string large = R"({"MinFixVes": 1, "pad": ")" + std::string(100 * 1024, 'x') + "\"}";
    sendTo(broker, "b/pc/s1/set", large.c_str());
    sendTo(broker, "b/pc/s1/set", R"({"MinFixVes": 2})");
    ASSERT_TRUE(runUntil([&] { return open.writes.size() == 1; }, 5000));
    runFor(500);
    // The broker never sent it: no refusal, no reply, only the small write's.
    EXPECT_EQ(open.log.count("larger than 64 KiB"), 0);
    EXPECT_EQ(consumer.on("b/pc/s1/set/result").size(), 1u);
    EXPECT_EQ(open.writes[0].second["MinFixVes"].toInt(), 2);
    EXPECT_TRUE(open.link().isConnected());
}

// Four times the replies' bound: the clearing messages once went in that
// lane and most were dropped (and stayed retained), replies with them.
TEST(PublisherBroker, ManyRetainedWritesAtStartAreAllClearedAndRepliesStillFlow) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    std::vector<std::pair<std::string, std::string>> retained;
    for (int i = 0; i < 4 * static_cast<int>(MqttLink::kReplyLimit); ++i) retained.emplace_back("b/pc/r" + std::to_string(i) + "/set", R"({"MinFixVes": 5})");
    ASSERT_TRUE(testing::publishAll(broker.port(), retained, true));
    Consumer consumer(broker.port(), {"b/pc/+/set/result"});
    ASSERT_TRUE(consumer.waitSubscribed());
    Writable open(broker);
    ASSERT_TRUE(connectedSoon(*open.publisher));
    // Live writes while the retained ones pour in are answered.
    for (int i = 0; i < 3; ++i) sendTo(broker, "b/pc/s1/set", R"({"MinFixVes": 7})");
    ASSERT_TRUE(runUntil([&] {
        return open.log.count("ignored a retained property write") >= 1 && open.link().heldClears() == 0 &&
               open.link().held() == 0;
    }, 40000)) << open.link().heldClears() << " " << open.link().held() << " " << open.link().heldReplies() << "\n"
               << [&] { std::string all; for (auto& l : open.log.lines) all += l + "\n"; return all; }();
    ASSERT_TRUE(consumer.waitFor([&](auto&) { return consumer.on("b/pc/s1/set/result").size() >= 3; }, 5000));
    EXPECT_EQ(open.writes.size(), 3u);
    EXPECT_EQ(open.link().counters().droppedClears, 0);
    EXPECT_EQ(open.link().counters().droppedReplies, 0);
    EXPECT_EQ(retainedFound(broker, "b/pc/+/set"), 0);
    EXPECT_LE(open.log.count("ignored a retained property write"), FoldedLog::kBurst + 1) << "the burst and one count";
}

TEST(PublisherBroker, RefusalsFromTheBrokerCannotFillTheLog) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Writable open(broker);
    ASSERT_TRUE(connectedSoon(*open.publisher));
    runFor(300);
    std::vector<std::pair<std::string, std::string>> refused;
    for (int i = 0; i < 500; ++i)
        refused.emplace_back("b/pc/" + std::to_string(i) + std::string(30000, 'i') + "/set", R"({"MinFixVes": 1})");
    ASSERT_TRUE(testing::publishAll(broker.port(), refused, false));
    ASSERT_TRUE(runUntil([&] { return open.log.count("refused a property write") >= 1; }, 5000));
    runFor(1000);
    std::size_t bytes = 0;
    for (const std::string& line : open.log.lines) bytes += line.size();
    EXPECT_LE(open.log.count("refused a property write"), FoldedLog::kBurst);
    EXPECT_LT(bytes, 4096u) << "500 refusals of 30,000-byte ids";
    EXPECT_TRUE(open.writes.empty());
}

TEST(PublisherBroker, TwoClientsUnderOneClientIdSayItOnceAndBackOff) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Log first, second;
    ScalePublisher a(settingsFor(broker, {{"client_id", "line-1", 4}}), first.sink());
    ScalePublisher b(settingsFor(broker, {{"client_id", "line-1", 4}}), second.sink());
    a.start();
    ASSERT_TRUE(connectedSoon(a));
    b.start();
    runFor(6000);
    const long long connects = a.link().counters().connects + b.link().counters().connects;
    // Found by the third connection lost soon after it was accepted: about
    // three connects each, and then quiet (without it, one per second each).
    EXPECT_LE(connects, 2 * MqttLink::kTakeoverRepeats + 2) << "they take the session from each other";
    const int told = first.count("to another client") + second.count("to another client");
    EXPECT_EQ(told, 1);
    EXPECT_LE(first.count("mqtt: lost") + second.count("mqtt: lost"), 2 * MqttLink::kTakeoverRepeats);
    EXPECT_TRUE(a.link().sessionContested() || b.link().sessionContested());
    EXPECT_TRUE(a.link().isConnected() || b.link().isConnected()) << "one keeps the session";
}

TEST(PublisherBroker, NoReadingBeforeTheFirstDecode) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Consumer consumer(broker.port(), {"site/pc1/+/reading"}, true);
    ASSERT_TRUE(consumer.waitSubscribed());
    Log log;
    ScalePublisher publisher(settingsFor(broker), log.sink());
    // What a scale holds before it has decoded anything: the control's initial values.
    QJsonObject initial{{"id", "s1"}, {"online", false}, {"TipTerminal", "No Connect"}, {"updated", QJsonValue::Null}};
    publisher.reading("s1", initial);
    publisher.start();
    ASSERT_TRUE(connectedSoon(publisher));
    runFor(500);
    EXPECT_TRUE(consumer.on("site/pc1/s1/reading").empty());
    publisher.reading("s1", scale("s1", 0.5, "t1"));
    ASSERT_TRUE(consumer.waitFor([&](auto&) { return !consumer.on("site/pc1/s1/reading").empty(); }, 5000));
    EXPECT_EQ(json(consumer.on("site/pc1/s1/reading").front().payload)["updated"].toString(), "t1");
}

}  // namespace
}  // namespace orva::mqtt
