#include "service/http/http_connection.h"

#include <QSslSocket>
#include <sys/socket.h>

#include <chrono>

namespace orva::service {
namespace {

// After a refusal the connection reads and drops what the client still
// sends, for this long or this much, so the answer is not lost to a reset.
constexpr int kLingerMs = 2000;
constexpr qint64 kLingerBytes = 256 * 1024;

}  // namespace

bool isWebSocketUpgrade(const HttpRequest& request) {
    return request.header("Upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

HttpConnection::HttpConnection(std::unique_ptr<QTcpSocket> socket, const ConnectionLimits& limits, QObject* parent)
    : QObject(parent), socket_(std::move(socket)), limits_(limits), reader_(limits), peer_(socket_->peerAddress()) {
    // Qt holds no more than a head (and a little) of what the client sent.
    socket_->setReadBufferSize(std::max<qint64>(limits.maxHeaderBytes + 1024, 64 * 1024));
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &HttpConnection::timedOut);
    connect(socket_.get(), &QTcpSocket::readyRead, this, &HttpConnection::process);
    connect(socket_.get(), &QTcpSocket::bytesWritten, this, &HttpConnection::written);
    connect(socket_.get(), &QTcpSocket::disconnected, this, &HttpConnection::finish);
    connect(socket_.get(), &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        if (e != QAbstractSocket::RemoteHostClosedError || socket_->state() != QAbstractSocket::ConnectedState) finish();
    });
    if (auto* tls = qobject_cast<QSslSocket*>(socket_.get())) {
        secure_ = true;
        // What is written is only gone once its encrypted bytes are.
        connect(tls, &QSslSocket::encryptedBytesWritten, this, &HttpConnection::written);
        if (!tls->isEncrypted()) {
            connect(tls, &QSslSocket::encrypted, this, [this] {
                enter(State::Idle, limits_.idleTimeoutMs);
                process();
            });
            enter(State::Handshake, limits_.headerTimeoutMs);
            tls->startServerEncryption();
            return;
        }
    }
    enter(State::Idle, limits_.idleTimeoutMs);
    if (socket_->bytesAvailable() > 0) process();
}

namespace {
// What the socket still holds of what was written: over TLS, the encrypted
// bytes besides those not yet encrypted.
qint64 unsent(QTcpSocket& socket) {
    auto* tls = qobject_cast<QSslSocket*>(&socket);
    return socket.bytesToWrite() + (tls != nullptr ? tls->encryptedBytesToWrite() : 0);
}
}  // namespace

HttpConnection::~HttpConnection() {
    if (socket_) socket_->disconnect(this);
}

void HttpConnection::enter(State state, int timeoutMs) {
    state_ = state;
    since_ = steadyMs();
    if (timeoutMs > 0) timer_.start(timeoutMs);
    else timer_.stop();
}

void HttpConnection::process() {
    processQueued_ = false;
    if (!socket_) return;
    if (state_ == State::Draining) {
        drained_ += socket_->skip(socket_->bytesAvailable());
        if (drained_ > kLingerBytes) abort();
        return;
    }
    while (state_ == State::Idle || state_ == State::Reading) {
        const QByteArray unread = socket_->peek(socket_->bytesAvailable());
        if (unread.isEmpty()) return;
        if (state_ == State::Idle) enter(State::Reading, limits_.headerTimeoutMs);
        const RequestReader::Progress p = reader_.read(unread);
        if (p.step == RequestReader::Step::Refused) {
            enter(State::InFlight, 0);
            emit refused(this, reader_.refusalStatus(), reader_.refusalReason());
            return;
        }
        if (p.step == RequestReader::Step::More) {
            if (p.consumed == 0) return;  // the head is not complete yet
            socket_->read(p.consumed);
            if (!headChecked_ && reader_.inBody() && headCheck_ != nullptr && *headCheck_) {
                headChecked_ = true;
                const HeadRefusal refusal = (*headCheck_)(reader_.head());
                if (refusal.status != 0) {
                    enter(State::InFlight, 0);
                    emit refused(this, refusal.status, refusal.reason);
                    return;
                }
            }
            continue;
        }
        headChecked_ = false;
        const HttpRequest complete = reader_.take();
        // A WebSocket handshake's head stays unread for whoever takes the socket.
        if (!isWebSocketUpgrade(complete)) socket_->read(p.consumed);
        enter(State::InFlight, 0);
        emit request(this, complete);
        return;
    }
}

void HttpConnection::respond(int status, const HeaderList& headers, const QByteArray& body, bool headOnly, bool close) {
    if (!socket_ || state_ != State::InFlight) return;
    waiting_ = false;
    closeAfter_ = close;
    recheckedWrite_ = false;
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + " " + statusText(status) + "\r\n";
    for (const auto& [key, value] : headers) out += key + ": " + value + "\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    if (close) out += "Connection: close\r\n";
    out += "\r\n";
    if (!headOnly) out += body;
    enter(State::Writing, limits_.idleTimeoutMs);
    socket_->write(out);
    socket_->flush();
}

void HttpConnection::written() {
    if (!socket_ || state_ != State::Writing || unsent(*socket_) > 0) return;
    // Over TLS this is told while the answer is being encrypted, before its
    // bytes reach the socket: looked at again once that is over.
    if (secure_ && !recheckedWrite_) {
        recheckedWrite_ = true;
        QMetaObject::invokeMethod(this, &HttpConnection::written, Qt::QueuedConnection);
        return;
    }
    recheckedWrite_ = false;
    if (closeAfter_) {
        lingeringClose();
        return;
    }
    enter(State::Idle, limits_.idleTimeoutMs);
    // Later, not from inside the write: a pipelined burst of small answers
    // would otherwise nest one call per request.
    if (!processQueued_) {
        processQueued_ = true;
        QMetaObject::invokeMethod(this, &HttpConnection::process, Qt::QueuedConnection);
    }
}

void HttpConnection::lingeringClose() {
    // Half-close: the client reads the answer and its end of file, while
    // what it still sends is read and dropped rather than answered by a reset.
    enter(State::Draining, kLingerMs);
    ::shutdown(static_cast<int>(socket_->socketDescriptor()), SHUT_WR);
    process();
}

void HttpConnection::timedOut() {
    switch (state_) {
        case State::Reading:
            enter(State::InFlight, 0);
            emit refused(this, 408, "the request did not arrive in time");
            return;
        case State::Handshake:  // a client that never finished its TLS handshake
        case State::Idle:
        case State::Writing:
        case State::Draining: abort(); return;
        default: return;
    }
}

std::unique_ptr<QTcpSocket> HttpConnection::release() {
    if (!socket_) return nullptr;
    timer_.stop();
    socket_->disconnect(this);
    std::unique_ptr<QTcpSocket> socket = std::move(socket_);
    finish();
    return socket;
}

void HttpConnection::abort() {
    waiting_ = false;
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
    }
    finish();
}

void HttpConnection::finish() {
    if (state_ == State::Gone) return;
    state_ = State::Gone;
    timer_.stop();
    if (socket_) socket_->disconnect(this);
    emit closed(this);
    deleteLater();
}

}  // namespace orva::service
