#pragma once
// A broker that does what a hostile or impersonated one may: it accepts the
// service's connection and then sends whatever the test tells it to,
// subscribed or not. It speaks just enough MQTT (3.1.1 and 5) for that:
// CONNACK, SUBACK, PUBACK and PINGRESP, and records what the client sent.

#include <QByteArray>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstdint>
#include <string>

namespace orva::mqtt::testing {

class FakeBroker {
public:
    // mqtt5: false for a broker that speaks 3.1.1 only (it refuses a 5 CONNECT
    // with a 3.1.1 CONNACK "unacceptable protocol version").
    explicit FakeBroker(bool mqtt5 = true);
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(server_.serverPort()); }

    bool connected() const { return connects_ > 0 && client_ && client_->state() == QAbstractSocket::ConnectedState; }
    int connects() const { return connects_; }
    int protocolLevel() const { return protocolLevel_; }         // of the last CONNECT
    std::uint32_t maximumPacketSize() const { return maxPacket_; }  // 0: not given
    int subscribes() const { return subscribes_; }

    // A PUBLISH to the connected client, whatever it subscribed to.
    void publish(const QByteArray& topic, const QByteArray& payload, int qos = 0, bool retain = false);

    // A PUBLISH that says it holds `length` bytes, sent as fast as the
    // client reads it, until the client stops reading or closes.
    void publishHuge(const QByteArray& topic, std::uint32_t length);
    // Bytes of it the client's socket took.
    qint64 hugeSent() const { return hugeSent_; }

private:
    void readable();
    void feed();
    void handle(std::uint8_t type, const QByteArray& body);
    void send(std::uint8_t head, const QByteArray& body);

    bool mqtt5_;
    QTcpServer server_;
    QPointer<QTcpSocket> client_;
    QByteArray in_;
    int connects_ = 0;
    int protocolLevel_ = 0;
    std::uint32_t maxPacket_ = 0;
    int subscribes_ = 0;
    std::uint16_t nextId_ = 1;
    qint64 hugeLeft_ = 0;
    qint64 hugeSent_ = 0;
};

}  // namespace orva::mqtt::testing
