#pragma once
// The listening socket of the service. Each accepted client becomes an
// HttpConnection, within two limits: connections per client address, and
// connections in all. A client over its address's limit is answered 503 and
// closed at once; at the overall limit the connection that has waited
// longest without a request in flight makes room, so idle connections held
// open cannot lock newcomers out.

#include <QHash>
#include <QHostAddress>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTimer>
#include <memory>
#include <set>

#include "service/allow_list.h"
#include "service/http/connection_limits.h"
#include "service/http/http_connection.h"

namespace orva::service {

class HttpServer final : public QTcpServer {
    Q_OBJECT
public:
    HttpServer(const ConnectionLimits& limits, QObject* parent);

    int connections() const { return static_cast<int>(connections_.size()); }
    std::uint64_t turnedAway() const { return turnedAway_; }
    std::uint64_t evicted() const { return evicted_; }
    // Handed to every connection: see HttpConnection::setHeadCheck.
    void setHeadCheck(HeadCheck check) { headCheck_ = std::move(check); }
    // Who may connect at all: others are closed before a byte is read.
    void setAllowList(AllowList allowed) { allowed_ = std::move(allowed); }
    std::uint64_t notAllowed() const { return notAllowed_; }
    // With a configuration, every connection accepted from now on speaks
    // TLS with it (open ones keep theirs); the handshake counts against the
    // header timeout. Set before listening to speak only TLS.
    void setTls(const QSslConfiguration& configuration) { tls_ = configuration; }
    bool tls() const { return !tls_.isNull(); }

signals:
    void request(HttpConnection* connection, const HttpRequest& request);
    void refused(HttpConnection* connection, int status, const char* reason);
    // A client turned away before any request was read (for the log).
    void turnedAwayClient(const QHostAddress& address, const char* why);
    // A TLS handshake that failed (not TLS, a protocol or cipher refused).
    void handshakeFailed(const QHostAddress& address, const QString& why);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    static constexpr int kAcceptsPerPass = 16;

    void takePending();
    void admit(std::unique_ptr<QTcpSocket> socket);
    void forget(HttpConnection* connection);
    bool makeRoom();

    ConnectionLimits limits_;
    std::set<HttpConnection*> connections_;
    QHash<QHostAddress, int> perAddress_;
    std::uint64_t turnedAway_ = 0;
    std::uint64_t evicted_ = 0;
    AllowList allowed_ = AllowList::everyone();
    std::uint64_t notAllowed_ = 0;
    QSslConfiguration tls_;
    QTimer resume_;
    bool takeQueued_ = false;
    HeadCheck headCheck_;
};

}  // namespace orva::service
