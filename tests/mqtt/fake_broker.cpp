#include "tests/mqtt/fake_broker.h"

#include <algorithm>

namespace orva::mqtt::testing {
namespace {

QByteArray varint(std::uint32_t n) {
    QByteArray out;
    do {
        std::uint8_t byte = n % 128;
        n /= 128;
        if (n > 0) byte |= 128;
        out.append(static_cast<char>(byte));
    } while (n > 0);
    return out;
}

QByteArray u16(std::uint16_t n) {
    QByteArray out;
    out.append(static_cast<char>(n >> 8));
    out.append(static_cast<char>(n & 0xFF));
    return out;
}

std::uint32_t readInt(const QByteArray& b, qsizetype at, int bytes) {
    std::uint32_t n = 0;
    for (int i = 0; i < bytes; ++i) n = (n << 8) | static_cast<std::uint8_t>(b.at(at + i));
    return n;
}

}  // namespace

FakeBroker::FakeBroker(bool mqtt5) : mqtt5_(mqtt5) {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
        while (QTcpSocket* next = server_.nextPendingConnection()) {
            if (client_) client_->deleteLater();
            client_ = next;
            in_.clear();
            QObject::connect(next, &QTcpSocket::readyRead, next, [this] { readable(); });
            QObject::connect(next, &QTcpSocket::bytesWritten, next, [this](qint64 n) {
                hugeSent_ += n;
                feed();
            });
            hugeLeft_ = 0;
        }
    });
}

void FakeBroker::readable() {
    if (!client_) return;
    in_ += client_->readAll();
    for (;;) {
        if (in_.size() < 2) return;
        std::uint32_t length = 0;
        std::uint32_t multiplier = 1;
        qsizetype at = 1;
        for (;; ++at) {
            if (at >= in_.size()) return;
            const auto byte = static_cast<std::uint8_t>(in_.at(at));
            length += (byte & 127) * multiplier;
            multiplier *= 128;
            if ((byte & 128) == 0) break;
        }
        ++at;
        if (in_.size() < at + static_cast<qsizetype>(length)) return;
        const auto type = static_cast<std::uint8_t>(in_.at(0));
        const QByteArray body = in_.mid(at, length);
        in_.remove(0, at + length);
        handle(type, body);
    }
}

void FakeBroker::handle(std::uint8_t type, const QByteArray& body) {
    switch (type >> 4) {
    case 1: {  // CONNECT
        ++connects_;
        protocolLevel_ = static_cast<std::uint8_t>(body.at(6));
        maxPacket_ = 0;
        if (protocolLevel_ == 5 && !mqtt5_) {
            send(0x20, QByteArray("\0\1", 2));
            client_->disconnectFromHost();
            break;
        }
        if (protocolLevel_ == 5) {
            qsizetype at = 10;
            std::uint32_t length = 0, multiplier = 1;
            for (;; ++at) {
                const auto byte = static_cast<std::uint8_t>(body.at(at));
                length += (byte & 127) * multiplier;
                multiplier *= 128;
                if ((byte & 128) == 0) break;
            }
            ++at;
            const qsizetype end = at + length;
            while (at < end) {
                const auto id = static_cast<std::uint8_t>(body.at(at++));
                if (id == 0x27) maxPacket_ = readInt(body, at, 4);
                if (id == 0x11 || id == 0x27) at += 4;
                else if (id == 0x21 || id == 0x22) at += 2;
                else if (id == 0x17 || id == 0x19) at += 1;
                else break;
            }
            send(0x20, QByteArray("\0\0\0", 3));
        } else {
            send(0x20, QByteArray("\0\0", 2));
        }
        break;
    }
    case 3:  // PUBLISH from the client: acknowledge QoS 1
        if (((type >> 1) & 3) == 1) {
            const std::uint16_t topicLength = static_cast<std::uint16_t>(readInt(body, 0, 2));
            send(0x40, body.mid(2 + topicLength, 2));
        }
        break;
    case 8:  // SUBSCRIBE: granted at QoS 1
        ++subscribes_;
        send(0x90, body.left(2) + (protocolLevel_ == 5 ? QByteArray("\0\1", 2) : QByteArray("\1")));
        break;
    case 12:  // PINGREQ
        send(0xD0, {});
        break;
    default:
        break;
    }
}

void FakeBroker::send(std::uint8_t head, const QByteArray& body) {
    if (!client_) return;
    client_->write(QByteArray(1, static_cast<char>(head)) + varint(static_cast<std::uint32_t>(body.size())) + body);
}

void FakeBroker::publish(const QByteArray& topic, const QByteArray& payload, int qos, bool retain) {
    QByteArray body = u16(static_cast<std::uint16_t>(topic.size())) + topic;
    if (qos > 0) body += u16(nextId_++);
    if (protocolLevel_ == 5) body += QByteArray(1, '\0');  // no properties
    body += payload;
    send(static_cast<std::uint8_t>(0x30 | (qos << 1) | (retain ? 1 : 0)), body);
}

void FakeBroker::publishHuge(const QByteArray& topic, std::uint32_t length) {
    if (!client_) return;
    const QByteArray head = u16(static_cast<std::uint16_t>(topic.size())) + topic + QByteArray(1, '\0');
    client_->write(QByteArray(1, static_cast<char>(0x30)) + varint(length) + head);
    hugeLeft_ = static_cast<qint64>(length) - head.size();
    hugeSent_ = 0;
    feed();
}

void FakeBroker::feed() {
    constexpr qint64 kChunk = 64 * 1024;
    while (client_ && hugeLeft_ > 0 && client_->state() == QAbstractSocket::ConnectedState &&
           client_->bytesToWrite() < 4 * kChunk) {
        const qint64 n = std::min(kChunk, hugeLeft_);
        client_->write(QByteArray(n, 'h'));
        hugeLeft_ -= n;
    }
}

}  // namespace orva::mqtt::testing
