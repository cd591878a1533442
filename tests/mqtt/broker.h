#pragma once
// Debian's mosquitto, started by a test on a free loopback port, and a
// consumer process (consumer.py, on Python's paho) subscribed to it. The
// broker keeps its sessions on disk so that a consumer's subscription
// outlives a broker restart, as a site's broker would be set up; wipe()
// throws that away, like a broker that comes back with an empty disk.

#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace orva::mqtt::testing {

class Broker {
public:
    // With a username, only that user with that password may connect.
    // listenerLines go into the listener's section (TLS files, ...).
    explicit Broker(std::string username = {}, std::string password = {}, QByteArray listenerLines = {});
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    bool start();       // runs until the port accepts connections (bounded)
    void kill();        // SIGKILL, waits for the end
    void stop();        // SIGTERM: saves its sessions, waits for the end
    void suspend();     // SIGSTOP: a broker that stops answering
    void resume();      // SIGCONT
    void wipe();        // forget retained messages and sessions (while stopped)
    bool running() const { return process_ && process_->state() != QProcess::NotRunning; }
    int port() const { return port_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    QString directory() const { return dir_.path(); }
    // The lines of the broker's log (every packet, every run) that hold `containing`.
    QByteArray logLines(const QByteArray& containing) const;

private:
    QTemporaryDir dir_;
    int port_ = 0;
    std::unique_ptr<QProcess> process_;
};

// Publishes every (topic, payload) at QoS 1 through one connection of its
// own, as fast as the broker takes them; true once the broker acknowledged
// them all (bounded wait).
bool publishAll(int port, const std::vector<std::pair<std::string, std::string>>& messages, bool retain);

struct Received {
    QString topic;
    QString payload;
    bool retain = false;
    long long recvNs = 0;
};

class Consumer {
public:
    // A persistent session (same client id on every reconnect, QoS 1) unless
    // cleanSession; the consumer reconnects by itself.
    Consumer(int port, QStringList filters, bool cleanSession = false);
    ~Consumer();
    Consumer(const Consumer&) = delete;
    Consumer& operator=(const Consumer&) = delete;

    bool waitSubscribed(int timeoutMs = 10000);
    // Subscriptions acknowledged so far, one per (re)connect.
    int subscriptions() { drain(); return subscribed_; }
    // Runs the event loop until pred holds over what arrived, or timeoutMs.
    bool waitFor(const std::function<bool(const std::vector<Received>&)>& pred, int timeoutMs);
    const std::vector<Received>& received() { drain(); return received_; }
    std::vector<Received> on(const QString& topic);

private:
    void drain();
    std::unique_ptr<QProcess> process_;
    std::vector<Received> received_;
    int subscribed_ = 0;
    QByteArray partial_;
};

}  // namespace orva::mqtt::testing
