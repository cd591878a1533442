// orva-service with simulated terminals publishing to a real broker: every
// settled weight once, the retained readings, the last will after a kill,
// and a broker restart that loses no settled weight while the service keeps
// polling and answering HTTP.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <map>
#include <set>
#include <tuple>
#include <vector>

#include "tests/mqtt/broker.h"
#include "tests/support/event_loop.h"

namespace orva::mqtt {
namespace {

using testing::Broker;
using testing::Consumer;
using testing::Received;
using orva::testing::runFor;
using orva::testing::runUntil;

class ServiceProcess {
public:
    // In `folder` (its configuration and journal) when given, else in a
    // folder of its own; moreScales are sections after [mqtt].
    ServiceProcess(const Broker& broker, int terminals, const QByteArray& moreMqtt = {}, const QString& folder = {},
                   const QByteArray& listen = "127.0.0.1:0", const QByteArray& moreScales = {}) {
        QFile file((folder.isEmpty() ? dir_.path() : folder) + "/service.ini");
        file.open(QIODevice::WriteOnly);
        file.write("[service]\nlisten = " + listen + "\n\n[mqtt]\nurl = " + QByteArray::fromStdString(broker.url()) +
                   "\ntopic_prefix = site/pc1\nkeepalive = 5\n" + moreMqtt + moreScales);
        file.close();
        QStringList args{"--config", file.fileName()};
        if (terminals > 0) args << "--simulate" << QString::number(terminals);
        process_.start(ORVA_SERVICE_BIN, args);
        runUntil([&] { return process_.canReadLine() || process_.state() == QProcess::NotRunning; }, 10000);
        const QString first = QString::fromUtf8(process_.readLine());
        auto match = QRegularExpression(R"(listening on http://127\.0\.0\.1:(\d+)/)").match(first);
        if (match.hasMatch()) httpPort_ = match.captured(1).toInt();
    }
    ~ServiceProcess() {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(5000)) process_.kill();
            process_.waitForFinished(3000);
        }
    }
    bool listening() const { return httpPort_ > 0; }
    int httpPort() const { return httpPort_; }
    // SIGTERM, as systemd stops it; the exit code, -1 when it had to be killed.
    int stop() {
        process_.terminate();
        if (process_.waitForFinished(10000) && process_.exitStatus() == QProcess::NormalExit) return process_.exitCode();
        process_.kill();
        process_.waitForFinished(3000);
        return -1;
    }
    // The exit code once it has ended by itself within timeoutMs, else -1.
    int exitCode(int timeoutMs) {
        if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(timeoutMs)) return -1;
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    void kill() {
        process_.kill();
        process_.waitForFinished(3000);
    }
    QString log() { return log_ += QString::fromUtf8(process_.readAllStandardError()); }

    // GET path; the body, empty when there was no answer.
    QByteArray get(const char* path) {
        QTcpSocket socket;
        socket.connectToHost("127.0.0.1", static_cast<quint16>(httpPort_));
        if (!socket.waitForConnected(2000)) return {};
        socket.write(QByteArray("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        QByteArray all;
        while (socket.waitForReadyRead(2000)) all += socket.readAll();
        all += socket.readAll();
        qsizetype body = all.indexOf("\r\n\r\n");
        return body < 0 ? QByteArray() : all.mid(body + 4);
    }
    std::map<QString, long> counter(const char* name) {
        std::map<QString, long> values;
        QRegularExpression line(QString(name) + R"re(\{scale="([^"]+)"\} (\d+))re");
        for (auto it = line.globalMatch(QString::fromUtf8(get("/metrics"))); it.hasNext();) {
            auto m = it.next();
            values[m.captured(1)] = m.captured(2).toLong();
        }
        return values;
    }

private:
    QTemporaryDir dir_;
    QProcess process_;
    int httpPort_ = 0;
    QString log_;
};

// Settled weights per scale as the consumer saw them, and how many came twice.
std::map<QString, std::set<QString>> stables(Consumer& consumer, int* duplicates = nullptr) {
    std::map<QString, std::set<QString>> perScale;
    int twice = 0;
    for (const Received& r : consumer.received()) {
        QStringList levels = r.topic.split('/');
        if (levels.size() != 4 || levels[3] != "stable") continue;
        if (!perScale[levels[2]].insert(r.payload).second) ++twice;
    }
    if (duplicates) *duplicates = twice;
    return perScale;
}

long total(const std::map<QString, long>& counts) {
    long sum = 0;
    for (const auto& [id, n] : counts) sum += n;
    return sum;
}

// Every settled weight the service counted up to `before` arrives, and none
// the service did not count by `after`. `repeats`: how many may come twice,
// each the same message with its `at` and `seq` (a broker killed between
// taking a message and acknowledging it gets it again: at least once).
void expectEveryStableOnce(ServiceProcess& service, Consumer& consumer, int repeats = 0) {
    const auto before = service.counter("orva_stable_weights_total");
    consumer.waitFor([&](auto&) {
        auto seen = stables(consumer);
        for (const auto& [id, n] : before)
            if (static_cast<long>(seen[id].size()) < n) return false;
        return true;
    }, 10000);
    runFor(300);
    const auto after = service.counter("orva_stable_weights_total");
    int duplicates = 0;
    auto seen = stables(consumer, &duplicates);
    ASSERT_FALSE(before.empty());
    for (const auto& [id, n] : before) {
        EXPECT_GE(static_cast<long>(seen[id].size()), n) << id.toStdString() << " lost a settled weight";
        EXPECT_LE(static_cast<long>(seen[id].size()), after.at(id)) << id.toStdString();
    }
    EXPECT_LE(duplicates, repeats);
}

TEST(ServiceOnBroker, EverySettledWeightOnceRetainedReadingsAndTheLastWill) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Consumer consumer(broker.port(), {"site/+/+/stable", "site/+/status"});
    ASSERT_TRUE(consumer.waitSubscribed());
    ServiceProcess service(broker, 3);
    ASSERT_TRUE(service.listening()) << service.log().toStdString();
    ASSERT_TRUE(runUntil([&] { return total(service.counter("orva_stable_weights_total")) >= 4; }, 40000));
    expectEveryStableOnce(service, consumer);
    auto first = QJsonDocument::fromJson(consumer.on("site/pc1/sim-1/stable").at(0).payload.toUtf8()).object();
    EXPECT_EQ(first["unit"].toString(), "kg");
    EXPECT_TRUE(first["at"].toString().endsWith('Z'));

    // A consumer that comes now finds every scale's state and the service online.
    Consumer late(broker.port(), {"site/pc1/+/reading", "site/pc1/status"}, true);
    ASSERT_TRUE(late.waitSubscribed());
    ASSERT_TRUE(late.waitFor([](auto& r) {
        return std::count_if(r.begin(), r.end(), [](const Received& m) { return m.retain; }) >= 4;
    }, 5000));
    for (const char* id : {"sim-1", "sim-2", "sim-3"}) {
        auto reading = late.on(QString("site/pc1/%1/reading").arg(id));
        ASSERT_FALSE(reading.empty()) << id;
        auto scale = QJsonDocument::fromJson(reading[0].payload.toUtf8()).object();
        EXPECT_EQ(scale["id"].toString(), id);
        EXPECT_TRUE(scale["online"].toBool());
        EXPECT_EQ(scale["TipTerminal"].toString(), "ORVA-1");
    }
    EXPECT_EQ(late.on("site/pc1/status").at(0).payload, "online");

    service.kill();
    ASSERT_TRUE(consumer.waitFor([&](auto&) { return consumer.on("site/pc1/status").back().payload == "offline"; }, 10000));
}

TEST(ServiceOnBroker, BrokerRestartLosesNoSettledWeightAndPollingGoesOn) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Consumer consumer(broker.port(), {"site/+/+/stable"});
    ASSERT_TRUE(consumer.waitSubscribed());
    ServiceProcess service(broker, 3);
    ASSERT_TRUE(service.listening()) << service.log().toStdString();
    ASSERT_TRUE(runUntil([&] { return total(service.counter("orva_stable_weights_total")) >= 3; }, 30000));

    broker.kill();
    const long stablesBefore = total(service.counter("orva_stable_weights_total"));
    const long decodesBefore = total(service.counter("orva_decodes_total"));
    // Down long enough for settled weights to pile up.
    ASSERT_TRUE(runUntil([&] { return total(service.counter("orva_stable_weights_total")) >= stablesBefore + 3; }, 30000));
    EXPECT_GT(total(service.counter("orva_decodes_total")), decodesBefore + 10) << "polling stopped";
    ASSERT_TRUE(broker.start());
    // The one message in flight when the broker was killed may come again.
    expectEveryStableOnce(service, consumer, 1);
    QString log = service.log();
    EXPECT_EQ(log.count("mqtt: lost"), 1) << log.toStdString();
    EXPECT_EQ(log.count("mqtt: connected"), 2) << log.toStdString();
}

TEST(ServiceOnBroker, RefusedLoginIsOneLogLineAndTheServiceServesOn) {
    Broker broker("line2", "right");
    ASSERT_TRUE(broker.start());
    ServiceProcess service(broker, 1, "username = line2\npassword = wrong\n");
    ASSERT_TRUE(service.listening()) << service.log().toStdString();
    runFor(5000);  // several attempts: 0.5, 1, 2 s apart
    const QString log = service.log();
    EXPECT_EQ(log.count("refused the connection as \"line2\": not authorised"), 1) << log.toStdString();
    EXPECT_EQ(log.count(" mqtt: "), 2) << "the publishing line and the refusal, nothing per attempt\n" << log.toStdString();
    EXPECT_GT(total(service.counter("orva_decodes_total")), 5) << "polling goes on";
}

TEST(ServiceOnBroker, RemoteWriteGoesThroughTheControlsPropertyWrite) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Consumer consumer(broker.port(), {"site/pc1/+/set/result"});
    ASSERT_TRUE(consumer.waitSubscribed());
    ServiceProcess service(broker, 1, "remote_writes = on\n");
    ASSERT_TRUE(service.listening()) << service.log().toStdString();
    ASSERT_TRUE(runUntil([&] { return service.log().contains("mqtt: connected"); }, 10000));
    runFor(300);  // the service's subscription is in place

    auto send = [&](const char* topic, const char* payload) {
        QProcess::execute("mosquitto_pub", {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-q", "1", "-t",
                                            topic, "-m", payload});
    };
    send("site/pc1/sim-1/set", R"({"MinFixVes": 120, "DecPoint": 2})");
    send("site/pc1/sim-1/set", R"({"MinFixVes": "heavy"})");
    // Settings the terminal cannot take are refused as the HTTP API refuses them, the body as a whole.
    send("site/pc1/sim-1/set", R"({"DecPoint": 3, "ComSetting": "12345,n,8,1"})");
    send("site/pc1/no-such/set", R"({"MinFixVes": 1})");
    ASSERT_TRUE(consumer.waitFor([](auto& r) { return r.size() >= 4; }, 10000));

    auto results = consumer.on("site/pc1/sim-1/set/result");
    ASSERT_EQ(results.size(), 3u);
    auto done = QJsonDocument::fromJson(results[0].payload.toUtf8()).object();
    EXPECT_TRUE(done["ok"].toBool()) << results[0].payload.toStdString();
    EXPECT_EQ(done["MinFixVes"].toInt(), 120);
    EXPECT_FALSE(done["saved"].toBool()) << "a simulated scale has no section to save to";
    auto refused = QJsonDocument::fromJson(results[1].payload.toUtf8()).object();
    EXPECT_FALSE(refused["ok"].toBool());
    EXPECT_FALSE(refused["error"].toString().isEmpty());
    auto settings = QJsonDocument::fromJson(results[2].payload.toUtf8()).object();
    EXPECT_FALSE(settings["ok"].toBool());
    EXPECT_TRUE(settings["error"].toString().contains("12345 baud")) << results[2].payload.toStdString();
    auto unknown = QJsonDocument::fromJson(consumer.on("site/pc1/no-such/set/result").at(0).payload.toUtf8()).object();
    EXPECT_FALSE(unknown["ok"].toBool());
    EXPECT_EQ(service.log().count("mqtt: refused a property write"), 3) << service.log().toStdString();

    // The control holds the new values, as the HTTP API shows them.
    auto properties = QJsonDocument::fromJson(service.get("/api/scales/sim-1/properties")).object();
    EXPECT_EQ(properties["MinFixVes"].toInt(), 120) << service.get("/api/scales/sim-1/properties").toStdString();
    EXPECT_EQ(properties["DecPoint"].toInt(), 2);
    EXPECT_TRUE(service.log().contains("[sim-1] properties written through the broker: DecPoint=2, MinFixVes=120"))
        << service.log().toStdString();
}

// The settled weights a journal holds, oldest first: (topic, payload).
std::vector<std::pair<QString, QString>> journalHeld(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    std::vector<std::tuple<double, QString, QString>> records;
    std::set<double> done;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        if (record.contains("done")) done.insert(record["done"].toDouble());
        else if (record.contains("n"))
            records.emplace_back(record["n"].toDouble(), record["topic"].toString(), record["payload"].toString());
    }
    std::vector<std::pair<QString, QString>> held;
    for (const auto& [n, topic, payload] : records)
        if (!done.count(n)) held.emplace_back(topic, payload);
    return held;
}

TEST(ServiceOnBroker, SettledWeightsOfABrokerOutageSurviveAStopOfTheServiceInOrderAndOnce) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Consumer consumer(broker.port(), {"site/+/+/stable"});
    ASSERT_TRUE(consumer.waitSubscribed());
    QTemporaryDir folder;
    const QString journal = folder.filePath("service.mqtt-journal");
    {
        ServiceProcess service(broker, 8, {}, folder.path());
        ASSERT_TRUE(service.listening()) << service.log().toStdString();
        ASSERT_TRUE(runUntil([&] { return service.log().contains("mqtt: connected"); }, 10000));
        broker.kill();
        const long atKill = total(service.counter("orva_stable_weights_total"));
        ASSERT_TRUE(runUntil([&] { return total(service.counter("orva_stable_weights_total")) >= atKill + 12; }, 40000));
        const QRegularExpression heldLine(R"(\norva_mqtt_held (\d+)\n)");
        const auto metric = heldLine.match(QString::fromUtf8(service.get("/metrics")));
        ASSERT_TRUE(metric.hasMatch());
        EXPECT_GE(metric.captured(1).toInt(), 12);
        EXPECT_EQ(service.stop(), 0) << service.log().toStdString();
    }
    const auto held = journalHeld(journal);
    ASSERT_GE(held.size(), 12u);

    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(runUntil([&] { return consumer.subscriptions() >= 2; }, 15000));
    ServiceProcess again(broker, 8, {}, folder.path());
    ASSERT_TRUE(again.listening()) << again.log().toStdString();
    auto arrived = [&](const std::pair<QString, QString>& m) {
        const auto on = consumer.on(m.first);
        return std::count_if(on.begin(), on.end(), [&](const Received& r) { return r.payload == m.second; });
    };
    ASSERT_TRUE(consumer.waitFor([&](auto&) {
        return std::all_of(held.begin(), held.end(), [&](const auto& m) { return arrived(m) > 0; });
    }, 15000)) << again.log().toStdString();
    runFor(500);
    for (const auto& m : held) EXPECT_EQ(arrived(m), 1) << m.second.toStdString();
    // Per scale, in the order they settled.
    std::map<QString, std::vector<QString>> expected;
    for (const auto& [topic, payload] : held) expected[topic].push_back(payload);
    for (const auto& [topic, payloads] : expected) {
        std::vector<QString> first;
        for (const Received& r : consumer.on(topic))
            if (first.size() < payloads.size() && std::find(payloads.begin(), payloads.end(), r.payload) != payloads.end())
                first.push_back(r.payload);
        EXPECT_EQ(first, payloads) << topic.toStdString();
    }
    int duplicates = 0;
    stables(consumer, &duplicates);
    EXPECT_EQ(duplicates, 0);
    EXPECT_TRUE(again.log().contains(QString("mqtt: %1 settled weight(s) from the journal").arg(held.size())))
        << again.log().toStdString();
    EXPECT_TRUE(runUntil([&] { return journalHeld(journal).empty(); }, 5000)) << "acknowledged, so no longer held";
}

TEST(ServiceOnBroker, DropsBeyondTheQueueLimitAreLoggedCountedAndLeaveTheJournalBounded) {
    Broker broker;  // never started: the broker stays away
    QTemporaryDir folder;
    ServiceProcess service(broker, 8, "queue_limit = 2\n", folder.path());
    ASSERT_TRUE(service.listening()) << service.log().toStdString();
    // Five settled weights, two held: three dropped.
    QString metrics;
    const QRegularExpression droppedLine(R"(\norva_mqtt_dropped_total (\d+)\n)");
    EXPECT_TRUE(runUntil([&] {
        metrics = QString::fromUtf8(service.get("/metrics"));
        return droppedLine.match(metrics).captured(1).toInt() >= 3;
    }, 40000)) << metrics.toStdString() << service.log().toStdString();
    // The service's log reaches the test through a pipe, after its metrics.
    const QString dropLine = "messages are held (queue_limit); the oldest are dropped";
    runUntil([&] { return service.log().contains(dropLine); }, 5000);
    EXPECT_EQ(service.log().count(dropLine), 1) << service.log().toStdString();
    EXPECT_LE(journalHeld(folder.filePath("service.mqtt-journal")).size(), 2u);
    EXPECT_EQ(service.stop(), 0);
    EXPECT_TRUE(service.log().contains("held messages were dropped since the broker was last reached"))
        << service.log().toStdString();
}

TEST(ServiceOnBroker, ASecondServiceOnTheSameHttpPortTouchesNeitherTheBrokerNorTheScales) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Consumer consumer(broker.port(), {"site/pc1/status"});
    ASSERT_TRUE(consumer.waitSubscribed());
    // A fixed client_id: a second connect under it would take the session over.
    ServiceProcess running(broker, 1, "client_id = line-1\n");
    ASSERT_TRUE(running.listening()) << running.log().toStdString();
    ASSERT_TRUE(runUntil([&] { return running.log().contains("mqtt: connected"); }, 10000));
    ASSERT_TRUE(consumer.waitFor([&](auto&) { return !consumer.on("site/pc1/status").empty(); }, 5000));
    const QString device = QJsonDocument::fromJson(running.get("/api/scales/sim-1")).object()["port"].toString();
    ASSERT_FALSE(device.isEmpty());

    // Every open of the running scale's device from now on.
    const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(opens, 0);
    ASSERT_GE(inotify_add_watch(opens, device.toLocal8Bit().constData(), IN_OPEN), 0);
    auto opened = [opens] {
        alignas(inotify_event) char buffer[4096];
        return ::read(opens, buffer, sizeof buffer) > 0;
    };

    // The same configuration by mistake, with a scale on the running one's device.
    ServiceProcess second(broker, 0, "client_id = line-1\n", {},
                          "127.0.0.1:" + QByteArray::number(running.httpPort()),
                          "\n[bay-1]\nport = " + device.toUtf8() + "\n");
    EXPECT_EQ(second.exitCode(5000), 1);
    const QString refused = second.log();
    EXPECT_TRUE(refused.contains("cannot listen on 127.0.0.1:" + QString::number(running.httpPort())))
        << refused.toStdString();
    EXPECT_FALSE(opened()) << "the second service opened the running scale's device";
    {
        QFile check(device);  // the watch does see an open
        ASSERT_TRUE(check.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    }
    EXPECT_TRUE(opened());
    ::close(opens);
    EXPECT_FALSE(refused.contains("mqtt:")) << refused.toStdString();
    runFor(1000);
    EXPECT_EQ(broker.logLines("as line-1").count("New client connected"), 1) << broker.logLines("line-1").toStdString();
    for (const Received& r : consumer.on("site/pc1/status")) EXPECT_EQ(r.payload, "online");
    const QString log = running.log();
    EXPECT_EQ(log.count("mqtt: connected"), 1) << log.toStdString();
    EXPECT_FALSE(log.contains("mqtt: lost")) << log.toStdString();
    EXPECT_TRUE(QJsonDocument::fromJson(running.get("/api/scales/sim-1")).object()["online"].toBool());
}

TEST(ServiceOnBroker, ARetainedWriteIsNotAppliedAtStart) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    QProcess::execute("mosquitto_pub", {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-q", "1", "-r", "-t",
                                        "site/pc1/sim-1/set", "-m", R"({"MinFixVes": 130})"});
    ServiceProcess service(broker, 1, "remote_writes = on\n");
    ASSERT_TRUE(service.listening()) << service.log().toStdString();
    ASSERT_TRUE(runUntil([&] { return service.log().contains("ignored a retained property write on sim-1"); }, 10000))
        << service.log().toStdString();
    runFor(300);
    // One published with -r while the service is connected is not applied either.
    QProcess::execute("mosquitto_pub", {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-q", "1", "-r", "-t",
                                        "site/pc1/sim-1/set", "-m", R"({"MinFixVes": 131})"});
    ASSERT_TRUE(runUntil([&] { return service.log().count("ignored a retained property write on sim-1") == 2; }, 10000))
        << service.log().toStdString();
    runFor(300);
    auto properties = QJsonDocument::fromJson(service.get("/api/scales/sim-1/properties")).object();
    EXPECT_NE(properties["MinFixVes"].toInt(), 130);
    EXPECT_NE(properties["MinFixVes"].toInt(), 131);
    EXPECT_FALSE(service.log().contains("properties written through the broker")) << service.log().toStdString();
}

TEST(ServiceOnBroker, TheFirstRetainedReadingIsADecodedOne) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    Consumer consumer(broker.port(), {"site/pc1/+/reading"}, true);
    ASSERT_TRUE(consumer.waitSubscribed());
    ServiceProcess service(broker, 2);
    ASSERT_TRUE(service.listening()) << service.log().toStdString();
    ASSERT_TRUE(consumer.waitFor([&](auto&) {
        return !consumer.on("site/pc1/sim-1/reading").empty() && !consumer.on("site/pc1/sim-2/reading").empty();
    }, 10000));
    for (const char* id : {"sim-1", "sim-2"}) {
        const auto first = QJsonDocument::fromJson(consumer.on(QString("site/pc1/%1/reading").arg(id)).front().payload.toUtf8()).object();
        EXPECT_FALSE(first["updated"].isNull()) << id;
        EXPECT_NE(first["TipTerminal"].toString(), "No Connect") << id;
    }
}

TEST(ServiceOnBroker, TwoServicesUnderOneClientIdSayItOnceAndStopTakingTheSessionBack) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    // The documentation's example client_id, copied to two PCs.
    ServiceProcess first(broker, 1, "client_id = pc-line2-07\n");
    ASSERT_TRUE(first.listening()) << first.log().toStdString();
    ASSERT_TRUE(runUntil([&] { return first.log().contains("mqtt: connected"); }, 10000));
    ServiceProcess second(broker, 1, "client_id = pc-line2-07\n");
    ASSERT_TRUE(second.listening()) << second.log().toStdString();
    ASSERT_TRUE(runUntil([&] {
        return first.log().contains("to another client") || second.log().contains("to another client");
    }, 15000)) << first.log().toStdString() << second.log().toStdString();
    // The connect that took the session is logged by the other at the same
    // moment, and may reach the test a little later.
    runFor(1500);
    const int linesThen = static_cast<int>(first.log().count('\n') + second.log().count('\n'));
    runFor(3000);
    const QString both = first.log() + second.log();
    EXPECT_EQ(both.count("to another client"), 1) << both.toStdString();
    EXPECT_TRUE(both.contains("uses the same client_id")) << both.toStdString();
    EXPECT_EQ(static_cast<int>(first.log().count('\n') + second.log().count('\n')), linesThen)
        << "quiet after saying so\n" << both.toStdString();
    EXPECT_LE(broker.logLines("as pc-line2-07").count("New client connected"), 10);
}

}  // namespace
}  // namespace orva::mqtt
