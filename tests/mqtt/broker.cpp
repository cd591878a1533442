#include "tests/mqtt/broker.h"

#include <mosquitto.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QElapsedTimer>
#include <QThread>

#include "tests/support/event_loop.h"

namespace orva::mqtt::testing {
namespace {

int freePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0)) return 0;
    return probe.serverPort();
}

bool accepts(int port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    return socket.waitForConnected(200);
}

}  // namespace

Broker::Broker(std::string username, std::string password, QByteArray listenerLines) {
    port_ = freePort();
    QString conf = dir_.filePath("mosquitto.conf");
    QFile file(conf);
    file.open(QIODevice::WriteOnly);
    // Run as root, the broker would become the user "mosquitto", who may
    // not write into this test's directory; it stays who we are.
    const passwd* self = getpwuid(geteuid());
    QByteArray text = QByteArray("user ") + (self ? self->pw_name : "root") + "\n";
    text += "listener " + QByteArray::number(port_) + " 127.0.0.1\n" + listenerLines;
    text += "persistence true\npersistence_location " + dir_.path().toUtf8() + "/\n";
    text += "autosave_on_changes true\nautosave_interval 1\n";
    // Every packet, into a file, for a test to show when something went amiss.
    text += "log_dest file " + dir_.filePath("broker.log").toUtf8() + "\nlog_type all\n";
    if (username.empty()) {
        text += "allow_anonymous true\n";
    } else {
        QString passwords = dir_.filePath("passwords");
        QProcess::execute("mosquitto_passwd", {"-b", "-c", passwords, QString::fromStdString(username),
                                               QString::fromStdString(password)});
        text += "allow_anonymous false\npassword_file " + passwords.toUtf8() + "\n";
    }
    file.write(text);
}

Broker::~Broker() { kill(); }

bool Broker::start() {
    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_->start(ORVA_MOSQUITTO, {"-c", dir_.filePath("mosquitto.conf")});
    if (!process_->waitForStarted(5000)) return false;
    for (int i = 0; i < 100; ++i) {
        if (accepts(port_)) return true;
        if (!running()) return false;
        QThread::msleep(50);
    }
    return false;
}

void Broker::kill() {
    if (!running()) return;
    process_->kill();
    process_->waitForFinished(5000);
}

void Broker::stop() {
    if (!running()) return;
    process_->terminate();
    if (!process_->waitForFinished(5000)) kill();
}

void Broker::suspend() {
    if (running()) ::kill(static_cast<pid_t>(process_->processId()), SIGSTOP);
}

void Broker::resume() {
    if (running()) ::kill(static_cast<pid_t>(process_->processId()), SIGCONT);
}

void Broker::wipe() { QFile::remove(dir_.filePath("mosquitto.db")); }

QByteArray Broker::logLines(const QByteArray& containing) const {
    QFile file(dir_.filePath("broker.log"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    QByteArray out;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.contains(containing)) out += line + "\n";
    return out;
}

bool publishAll(int port, const std::vector<std::pair<std::string, std::string>>& messages, bool retain) {
    mosquitto_lib_init();
    std::unique_ptr<mosquitto, void (*)(mosquitto*)> client(mosquitto_new(nullptr, true, nullptr), mosquitto_destroy);
    if (!client || mosquitto_connect(client.get(), "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) return false;
    std::size_t acknowledged = 0;
    mosquitto_user_data_set(client.get(), &acknowledged);
    mosquitto_publish_callback_set(client.get(), [](mosquitto*, void* done, int) { ++*static_cast<std::size_t*>(done); });
    for (const auto& [topic, payload] : messages)
        if (mosquitto_publish(client.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                              retain) != MOSQ_ERR_SUCCESS)
            return false;
    QElapsedTimer clock;
    clock.start();
    while (acknowledged < messages.size() && clock.elapsed() < 30000)
        if (mosquitto_loop(client.get(), 100, 1) != MOSQ_ERR_SUCCESS) return false;
    mosquitto_disconnect(client.get());
    return acknowledged == messages.size();
}

Consumer::Consumer(int port, QStringList filters, bool cleanSession) {
    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList args{ORVA_MQTT_CONSUMER, "--port", QString::number(port)};
    if (!cleanSession) args << "--client-id" << QString("consumer-%1-%2").arg(QCoreApplication::applicationPid()).arg(port);
    args << filters;
    process_->start(ORVA_PYTHON3, args);
    process_->waitForStarted(5000);
}

Consumer::~Consumer() {
    process_->closeWriteChannel();
    if (!process_->waitForFinished(3000)) {
        process_->kill();
        process_->waitForFinished(3000);
    }
}

void Consumer::drain() {
    partial_ += process_->readAllStandardOutput();
    for (qsizetype nl; (nl = partial_.indexOf('\n')) >= 0;) {
        QByteArray line = partial_.left(nl);
        partial_.remove(0, nl + 1);
        QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.contains("subscribed")) {
            ++subscribed_;
            continue;
        }
        if (!o.contains("topic")) continue;
        received_.push_back({o["topic"].toString(), o["payload"].toString(), o["retain"].toBool(),
                             static_cast<long long>(o["recv_ns"].toDouble())});
    }
}

bool Consumer::waitSubscribed(int timeoutMs) {
    return orva::testing::runUntil([this] { drain(); return subscribed_ > 0; }, timeoutMs);
}

bool Consumer::waitFor(const std::function<bool(const std::vector<Received>&)>& pred, int timeoutMs) {
    return orva::testing::runUntil([&] { drain(); return pred(received_); }, timeoutMs);
}

std::vector<Received> Consumer::on(const QString& topic) {
    drain();
    std::vector<Received> result;
    for (const Received& r : received_)
        if (r.topic == topic) result.push_back(r);
    return result;
}

}  // namespace orva::mqtt::testing
