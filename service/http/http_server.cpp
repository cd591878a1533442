#include "service/http/http_server.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <sys/socket.h>
#include <unistd.h>
#include <memory>
#include <tuple>

#include "service/http/security_headers.h"

namespace orva::service {

HttpServer::HttpServer(const ConnectionLimits& limits, QObject* parent) : QTcpServer(parent), limits_(limits) {
    // A burst of a thousand connects is taken a few at a time, each pass a
    // turn of the event loop, so the scales' ticks run in between: Qt stops
    // accepting while this many wait, and goes on when they are taken.
    setMaxPendingConnections(kAcceptsPerPass);
    connect(this, &QTcpServer::newConnection, this, [this] {
        if (takeQueued_) return;
        takeQueued_ = true;
        QMetaObject::invokeMethod(this, &HttpServer::takePending, Qt::QueuedConnection);
    });
    // Out of descriptors, the listening socket would be ready again at once
    // and spin the event loop: accepting pauses for a moment instead.
    resume_.setSingleShot(true);
    connect(&resume_, &QTimer::timeout, this, [this] { resumeAccepting(); });
    connect(this, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        pauseAccepting();
        resume_.start(100);
    });
}

void HttpServer::incomingConnection(qintptr descriptor) {
    // An address outside the allow-list is closed here, before a byte of it
    // is read or anything is set up for it.
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(static_cast<int>(descriptor), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        ::close(static_cast<int>(descriptor));
        return;
    }
    const QHostAddress from(reinterpret_cast<const sockaddr*>(&peer));
    if (!allowed_.allows(from)) {
        ::close(static_cast<int>(descriptor));
        ++notAllowed_;
        emit turnedAwayClient(from, "its address is not in allow_from");
        return;
    }
    QTcpSocket* socket = nullptr;  // owned by this server until taken
    if (tls()) {
        auto* secure = new QSslSocket(this);
        secure->setSslConfiguration(tls_);
        connect(secure, &QSslSocket::errorOccurred, this, [this, secure](QAbstractSocket::SocketError e) {
            if (e != QAbstractSocket::SslHandshakeFailedError || secure->isEncrypted()) return;
            emit handshakeFailed(secure->peerAddress(), secure->errorString());
        });
        socket = secure;
    } else {
        socket = new QTcpSocket(this);
    }
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    addPendingConnection(socket);
}

void HttpServer::takePending() {
    takeQueued_ = false;
    for (int i = 0; i < kAcceptsPerPass && hasPendingConnections(); ++i) {
        std::unique_ptr<QTcpSocket> socket(nextPendingConnection());
        socket->setParent(nullptr);
        admit(std::move(socket));
    }
    if (hasPendingConnections() && !takeQueued_) {
        takeQueued_ = true;
        QMetaObject::invokeMethod(this, &HttpServer::takePending, Qt::QueuedConnection);
    }
}

void HttpServer::admit(std::unique_ptr<QTcpSocket> socket) {
    const QHostAddress peer = socket->peerAddress();
    const qintptr descriptor = socket->socketDescriptor();
    const char* refusal = nullptr;
    auto& count = perAddress_[peer];
    if (count >= limits_.maxConnectionsPerAddress) refusal = "too many connections from this address";
    else if (static_cast<int>(connections_.size()) >= limits_.maxConnections && !makeRoom())
        refusal = "too many connections";
    if (refusal != nullptr) {
        if (count == 0) perAddress_.remove(peer);
        ++turnedAway_;
        emit turnedAwayClient(peer, refusal);
        // A TLS client would read a plain answer as a broken handshake: it
        // is closed with none.
        if (qobject_cast<QSslSocket*>(socket.get()) != nullptr) {
            socket->abort();
            return;
        }
        static const QByteArray body = R"({"error":"too many connections"})";
        QByteArray answer = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n";
        for (const auto& [name, value] : securityHeaders()) answer += name + ": " + value + "\r\n";
        answer += "Retry-After: 1\r\nConnection: close\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        // Straight into the fresh socket's empty kernel buffer, which takes
        // it whole; the descriptor is closed at once, so a client over its
        // limit holds nothing here.
        const auto sent = ::send(static_cast<int>(descriptor), answer.constData(), static_cast<std::size_t>(answer.size()),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)sent;  // a client that is already gone gets nothing
        ::shutdown(static_cast<int>(descriptor), SHUT_WR);
        socket->abort();
        return;
    }
    ++count;
    auto* connection = new HttpConnection(std::move(socket), limits_, this);
    connection->setHeadCheck(&headCheck_);
    connections_.insert(connection);
    connect(connection, &HttpConnection::request, this, &HttpServer::request);
    connect(connection, &HttpConnection::refused, this, &HttpServer::refused);
    connect(connection, &HttpConnection::closed, this, &HttpServer::forget);
}

void HttpServer::forget(HttpConnection* connection) {
    if (connections_.erase(connection) == 0) return;
    const auto it = perAddress_.find(connection->peer());
    if (it != perAddress_.end() && --it.value() <= 0) perAddress_.erase(it);
}

bool HttpServer::makeRoom() {
    // From the address that holds the most connections, so a flood from a
    // few addresses makes room from its own and not from a dashboard's
    // keep-alive; there the connection idle longest, else the parked wait
    // that has waited longest (a wait is not a lease on a connection).
    HttpConnection* victim = nullptr;
    auto rank = [this](HttpConnection* c) {
        return std::make_tuple(perAddress_.value(c->peer()), c->evictable() ? 1 : 0, -c->stateSinceMs());
    };
    for (HttpConnection* c : connections_)
        if ((c->evictable() || c->waiting()) && (victim == nullptr || rank(c) > rank(victim))) victim = c;
    if (victim == nullptr) return false;
    ++evicted_;
    victim->abort();  // forgets it through closed()
    return true;
}

}  // namespace orva::service
