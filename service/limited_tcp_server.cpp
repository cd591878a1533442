#include "service/limited_tcp_server.h"

#include <QTcpSocket>
#include <limits>

namespace orva::service {

std::optional<qint64> LimitedTcpServer::announcedLength(const QByteArray& buffered) {
    const qsizetype end = buffered.indexOf("\r\n\r\n");
    if (end < 0) return std::nullopt;
    for (const QByteArray& line : buffered.left(end).split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || line.left(colon).trimmed().toLower() != "content-length") continue;
        bool ok = false;
        const qint64 length = line.mid(colon + 1).trimmed().toLongLong(&ok);
        return ok && length >= 0 ? length : std::numeric_limits<qint64>::max();  // unreadable: too long
    }
    return -1;
}

void LimitedTcpServer::incomingConnection(qintptr descriptor) {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    // Connected before the HTTP machinery connects its own reader, so this
    // runs first on every arrival.
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
        const auto length = announcedLength(socket->peek(16 * 1024));
        if (!length || *length <= maxBodyBytes_) return;
        const QByteArray body = R"({"error":"request bodies are limited to 64 KiB"})";
        socket->write("HTTP/1.1 413 Payload Too Large\r\nContent-Type: application/json\r\nConnection: close\r\n"
                      "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        socket->flush();
        socket->readAll();  // nothing of it is looked at
        socket->disconnectFromHost();
    });
    addPendingConnection(socket);
}

}  // namespace orva::service
