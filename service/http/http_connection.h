#pragma once
// One client's HTTP connection: reads a request at a time with the strict
// reader, hands it on, and reads nothing more until its answer is written
// out, so pipelined answers keep their order and answers a client does not
// read cannot pile up. Qt buffers at most a little more than the head limit
// of what the client sent; the rest waits in the kernel, where TCP's own flow
// control holds the client.
//
// Its timer: from the first byte of a request to its last (the header
// timeout), and for a TLS connection from its start to the end of its
// handshake (the header timeout too); between requests, and while an answer is not taken by the
// client (the idle timeout). A request in flight has no timer here: whoever
// answers it keeps its own time (a parked wait for a settled weight).

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "service/http/connection_limits.h"
#include "service/http/request_reader.h"

namespace orva::service {

using HeaderList = std::vector<std::pair<QByteArray, QByteArray>>;

// Looks at a request's head before its body is read: a status and reason to
// refuse it with (its body is then never read), or {0, nullptr}.
struct HeadRefusal {
    int status = 0;
    const char* reason = nullptr;
};
using HeadCheck = std::function<HeadRefusal(const HttpRequest& head)>;

class HttpConnection final : public QObject {
    Q_OBJECT
public:
    // Takes the socket.
    HttpConnection(std::unique_ptr<QTcpSocket> socket, const ConnectionLimits& limits, QObject* parent);
    ~HttpConnection() override;

    const QHostAddress& peer() const { return peer_; }
    // Between requests or while one arrives: nothing is owed to the client.
    bool evictable() const { return state_ == State::Handshake || state_ == State::Idle || state_ == State::Reading; }
    // The connection speaks TLS.
    bool secure() const { return secure_; }
    // A request parked until something happens (a wait for a settled
    // weight): it may be closed to make room too, after the idle ones.
    bool waiting() const { return state_ == State::InFlight && waiting_; }
    void setWaiting(bool waiting) { waiting_ = waiting; }
    // Consulted once per request, when its head is read and a body follows.
    void setHeadCheck(const HeadCheck* check) { headCheck_ = check; }
    std::int64_t stateSinceMs() const { return since_; }

    // Answers the request in flight (or the refusal). With headOnly the
    // body's length is announced but the body not sent (HEAD).
    void respond(int status, const HeaderList& headers, const QByteArray& body, bool headOnly = false,
                 bool close = false);
    // Hands the socket over, the request's head still unread in it (a
    // WebSocket handshake). The connection is gone after.
    std::unique_ptr<QTcpSocket> release();
    // Closes at once (eviction, shutdown).
    void abort();

signals:
    // A complete request; exactly one respond() or release() must follow.
    void request(HttpConnection* connection, const HttpRequest& request);
    // A request that cannot be read (status 400, 408, 413, 431, 501, 505);
    // exactly one respond() must follow, which closes the connection.
    void refused(HttpConnection* connection, int status, const char* reason);
    // The connection is over; it is deleted later.
    void closed(HttpConnection* connection);

private:
    enum class State { Handshake, Idle, Reading, InFlight, Writing, Draining, Gone };

    void process();
    void written();
    void timedOut();
    void enter(State state, int timeoutMs);
    void finish();
    void lingeringClose();

    std::unique_ptr<QTcpSocket> socket_;
    ConnectionLimits limits_;
    RequestReader reader_;
    QHostAddress peer_;
    State state_ = State::Idle;
    std::int64_t since_ = 0;
    bool closeAfter_ = false;
    bool secure_ = false;
    bool recheckedWrite_ = false;
    bool processQueued_ = false;
    bool waiting_ = false;
    bool headChecked_ = false;
    const HeadCheck* headCheck_ = nullptr;
    qint64 drained_ = 0;
    QTimer timer_;
};

std::int64_t steadyMs();
// Upgrade: websocket. Other upgrades (h2c) are not taken: the request is
// answered as if it had not asked.
bool isWebSocketUpgrade(const HttpRequest& request);

}  // namespace orva::service
