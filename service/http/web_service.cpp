#include "service/http/web_service.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QTcpSocket>
#include <ctime>
#include <vector>

#include "service/http/api_request.h"
#include "service/http/handshake_check.h"
#include "service/http/security_headers.h"
#include "service/http/read_access.h"

namespace orva::service {
namespace {

std::int64_t nowMs() { return steadyMs(); }

QByteArray json(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

QString address(const QHostAddress& a) { return a.toString(); }

// The host part of a Host header or of an origin's authority: without the
// port or the brackets of an IPv6 address, in lower case, without a final dot.
QByteArray hostPart(QByteArray authority) {
    authority = authority.trimmed().toLower();
    if (authority.startsWith('[')) {
        const qsizetype close = authority.indexOf(']');
        return close < 0 ? QByteArray() : authority.mid(1, close - 1);
    }
    if (authority.count(':') == 1) authority = authority.left(authority.indexOf(':'));
    if (authority.endsWith('.')) authority.chop(1);
    return authority;
}

}  // namespace

WebService::Reply WebService::Reply::error(int status, const QString& text) {
    return Reply{status, "application/json", json({{"error", text}}), {}};
}

// The page, its script and its style sheet are built into the program.
WebService::Reply WebService::dashboardFile(const char* name, const QByteArray& contentType) {
    QFile file(QString(":/orva-service/") + name);
    if (!file.open(QIODevice::ReadOnly)) return Reply::error(500, "the dashboard is missing from the program");
    return Reply{200, contentType, file.readAll(), {}};
}

WebService::WebService(HttpServer& server, ScaleHub& hub, const HttpSettings& settings, const WritePath& write, Log log)
    : hub_(hub),
      config_(settings),
      write_(write),
      log_(std::move(log)),
      server_(server),
      webSockets_(QStringLiteral("orva-service"), QWebSocketServer::NonSecureMode, this),
      refusals_(log_) {
    expiry_.setSingleShot(true);
    connect(&expiry_, &QTimer::timeout, this, [this] { expireWaiters(); });
    connect(&server_, &HttpServer::request, this, &WebService::onRequest);
    connect(&server_, &HttpServer::refused, this, &WebService::onRefused);
    // A write without the token is refused before its body is read.
    server_.setHeadCheck([this](const HttpRequest& head) -> HeadRefusal {
        if (head.method != "PUT") return {};
        if (const char* why = writeRefusal(head)) return {401, why};
        return {};
    });
    connect(&server_, &HttpServer::turnedAwayClient, this,
            [this](const QHostAddress& client, const char* why) {
                refusedRequest(client, "turned away a connection from " + address(client).toStdString() + ": " + why);
            });
    connect(&server_, &HttpServer::handshakeFailed, this, [this](const QHostAddress& client, const QString& why) {
        refusedRequest(client, "refused a TLS handshake from " + address(client).toStdString() + ": " + why.toStdString());
    });
    connect(&webSockets_, &QWebSocketServer::newConnection, this, [this] { acceptWebSockets(); });
    connect(&pings_, &QTimer::timeout, this, [this] { pingClients(); });
    refusalCounts_.setSingleShot(true);
    connect(&refusalCounts_, &QTimer::timeout, this, [this] {
        if (refusals_.flush(nowMs())) refusalCounts_.start(1000);
    });
    pings_.start(config_.limits.webSocketPingMs);
    connect(&batches_, &QTimer::timeout, this, [this] { sendBatches(); });
    outboxTurns_.setSingleShot(true);
    connect(&outboxTurns_, &QTimer::timeout, this, [this] { writeOutbox(); });
    auto follow = [this](const QString& id) {
        connect(hub_.signalsOf(id), &ScaleSignals::stableWeight, this,
                [this, id](double w, const QString& unit, const QDateTime& at, quint64 seq) { settled(id, w, unit, at, seq); });
    };
    for (const QString& id : hub_.ids()) follow(id);
    connect(&hub_, &ScaleHub::scaleAdded, this, follow);  // by a reload
    connect(&hub_, &ScaleHub::scaleRemoved, this, [this](const QString& id) {
        answerWaitersOf(id, Reply::error(404, QString("no scale \"%1\": removed from the configuration").arg(id)));
        batch_.forget(id);
    });
}

WebService::~WebService() {
    server_.setHeadCheck({});
    for (auto& [socket, client] : clients_) {
        client.socket->disconnect(this);
        if (client.tcp) client.tcp->disconnect(this);
    }
    // The WebSocket server deletes the sockets of unfinished handshakes after
    // the members they would report to.
    for (auto& [key, handshake] : handshakes_)
        if (handshake.socket) handshake.socket->disconnect(this);
}

void WebService::refusedRequest(const QHostAddress& client, const std::string& what) {
    ++refusedRequests_;
    // A refusal left out is counted in a line at the end of its window.
    if (refusals_.refused(address(client).toStdString(), what, nowMs()) && !refusalCounts_.isActive())
        refusalCounts_.start(static_cast<int>(RefusalLog::kWindowMs));
}

QByteArray WebService::allowedOrigin(const HttpRequest& request) const {
    const QByteArray origin = request.header("Origin");
    if (origin.isEmpty()) return {};
    for (const std::string& allowed : config_.allowOrigins)
        if (allowed == "*" || origin == QByteArray::fromStdString(allowed)) return origin;
    return {};
}

bool WebService::hostAllowed(const HttpRequest& request) const {
    if (!request.hasHeader("Host")) return true;  // HTTP/1.0 (1.1 without one is refused by the reader)
    const QByteArray host = hostPart(request.header("Host"));
    if (host.isEmpty()) return false;
    // An address cannot be made to point elsewhere by a name server, so a
    // page can reach us by address only if it is served from that address.
    if (!QHostAddress(QString::fromLatin1(host)).isNull()) return true;
    if (host == "localhost" || host == QByteArray::fromStdString(config_.listenHost).toLower()) return true;
    if (host == QSysInfo::machineHostName().toLower().toUtf8()) return true;
    for (const std::string& allowed : config_.limits.allowHosts)
        if (allowed == "*" || host == hostPart(QByteArray::fromStdString(allowed))) return true;
    return false;
}

// A browser names the page that opens a WebSocket; a page of any other site
// must not read the scales. Clients that are not browsers send no Origin.
bool WebService::liveOriginAllowed(const HttpRequest& request, const HttpConnection& connection) const {
    if (!request.hasHeader("Origin")) return true;
    const QByteArray origin = request.header("Origin");
    if (!allowedOrigin(request).isEmpty()) return true;
    // The dashboard itself: http://, or https:// when the page came over
    // TLS (here, or at a trusted proxy), + the Host the request was sent to.
    const QByteArray host = request.header("Host").trimmed().toLower();
    if (host.isEmpty()) return false;
    return origin.toLower() == "http://" + host || (overHttps(request, connection) && origin.toLower() == "https://" + host);
}

bool WebService::overHttps(const HttpRequest& request, const HttpConnection& connection) const {
    if (connection.secure()) return true;
    // Only a proxy the operator named is believed: anyone else could say so.
    return config_.trustedProxies && config_.trustedProxies->allows(connection.peer()) &&
           request.header("X-Forwarded-Proto").trimmed().compare("https", Qt::CaseInsensitive) == 0;
}

bool WebService::answeredAccess(HttpConnection* connection, const HttpRequest& request) {
    const Tokens tokens{config_.readToken, config_.token};
    const QString client = address(connection->peer());
    if (isLogin(request)) {
        const bool secure = overHttps(request, *connection);
        if (request.method == "DELETE") {
            Reply out{204, {}, {}, {{"Set-Cookie", logoutCookie(secure)}}};
            send(connection, out, false, !request.keepAlive);
            return true;
        }
        // A login checks the Bearer token alone, never an earlier cookie.
        const QByteArray token = bearerToken(request);
        const bool known = !token.isEmpty() && ((!tokens.read.empty() && sameToken(token, QByteArray::fromStdString(tokens.read))) ||
                                                (!tokens.write.empty() && sameToken(token, QByteArray::fromStdString(tokens.write))));
        if (!known) {
            refusedRequest(connection->peer(), "refused a login from " + client.toStdString() +
                                                   (token.isEmpty() ? ": no token" : ": wrong token"));
            Reply out = Reply::error(401, token.isEmpty() ? "a login needs Authorization: Bearer <token>" : "wrong token");
            out.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"orva-service\"");
            send(connection, out, false, !request.keepAlive);
            return true;
        }
        Reply out{204, {}, {}, {{"Set-Cookie", loginCookie(token, secure)}}};
        send(connection, out, false, !request.keepAlive);
        return true;
    }
    if (!needsReadToken(request)) return false;
    const Access access = readAccess(request, tokens);
    if (access == Access::Granted) return false;
    refusedRequest(connection->peer(), "refused a read of " + request.path.toStdString() + " from " + client.toStdString() +
                                           (access == Access::NoToken ? ": no token" : ": wrong token"));
    Reply out = Reply::error(401, access == Access::NoToken ? "reading needs Authorization: Bearer <token> (read_token)"
                                                            : "wrong token");
    out.headers.emplace_back("WWW-Authenticate", access == Access::NoToken
                                                     ? QByteArray("Bearer realm=\"orva-service\"")
                                                     : QByteArray("Bearer realm=\"orva-service\", error=\"invalid_token\""));
    const QByteArray origin = allowedOrigin(request);
    if (!origin.isEmpty()) {
        out.headers.emplace_back("Access-Control-Allow-Origin", origin);
        out.headers.emplace_back("Vary", "Origin");
    }
    send(connection, out, request.method == "HEAD", !request.keepAlive || isWebSocketUpgrade(request));
    return true;
}

qint64 WebService::queued(QWebSocket* socket) const {
    const auto it = tlsOf_.find(socket);
    const qint64 encrypted = it != tlsOf_.end() && it->second ? it->second->encryptedBytesToWrite() : 0;
    return socket->bytesToWrite() + encrypted;
}

void WebService::send(HttpConnection* connection, const Reply& reply, bool headOnly, bool close) {
    HeaderList headers;
    if (!reply.contentType.isEmpty()) headers.emplace_back("Content-Type", reply.contentType);
    headers.emplace_back("Cache-Control", "no-store");
    for (const auto& h : securityHeaders()) headers.push_back(h);
    for (const auto& h : reply.headers) headers.push_back(h);
    connection->respond(reply.status, headers, reply.body, headOnly, close);
}

void WebService::onRefused(HttpConnection* connection, int status, const char* reason) {
    const ConnectionLimits& limits = config_.limits;
    QString text = QString::fromLatin1(reason);
    if (status == 413) text = QString("request bodies are limited to %1 KiB").arg(limits.maxBodyBytes / 1024.0);
    if (status == 431)
        text = QString("%1 (%2 bytes, %3 headers)").arg(text).arg(limits.maxHeaderBytes).arg(limits.maxHeaders);
    if (status == 401)  // a write without the token, refused at its head
        refusedRequest(connection->peer(), "refused a property write from " + address(connection->peer()).toStdString() + ": " +
                                               text.toStdString());
    else
        refusedRequest(connection->peer(), "refused a request from " + address(connection->peer()).toStdString() + ": " +
                                               std::to_string(status) + " " + text.toStdString());
    send(connection, Reply::error(status, text), false, true);
}

void WebService::onRequest(HttpConnection* connection, const HttpRequest& request) {
    const bool close = !request.keepAlive;
    if (!hostAllowed(request)) {
        refusedRequest(connection->peer(), "refused a request from " + address(connection->peer()).toStdString() +
                                               " for host \"" + request.header("Host").toStdString() + "\"");
        send(connection, Reply::error(421, "this service does not answer for that host (allow_host)"), false, true);
        return;
    }
    if (answeredAccess(connection, request)) return;
    if (isWebSocketUpgrade(request)) {
        upgrade(connection, request);
        return;
    }
    const bool headOnly = request.method == "HEAD";
    bool parked = false;
    Reply reply = answer(request, connection, parked);
    if (parked) return;  // until the scale settles
    const QByteArray origin = allowedOrigin(request);
    if (!origin.isEmpty()) {
        reply.headers.emplace_back("Access-Control-Allow-Origin", origin);
        reply.headers.emplace_back("Vary", "Origin");
    }
    send(connection, reply, headOnly, close);
}

void WebService::upgrade(HttpConnection* connection, const HttpRequest& request) {
    auto refuse = [&](int status, const QString& text) {
        refusedRequest(connection->peer(),
                       "refused a WebSocket client " + address(connection->peer()).toStdString() + ": " + text.toStdString());
        send(connection, Reply::error(status, text), false, true);
    };
    if (request.path != "/api/live" || request.method != "GET") return refuse(404, "the event stream is GET /api/live");
    if (!request.body.isEmpty()) return refuse(400, "a WebSocket handshake has no body");
    if (!request.hasHeader("Sec-WebSocket-Key")) return refuse(400, "a WebSocket handshake needs Sec-WebSocket-Key");
    if (request.header("Sec-WebSocket-Version") != "13") {
        refusedRequest(connection->peer(), "refused a WebSocket client " + address(connection->peer()).toStdString() +
                                               ": version " + request.header("Sec-WebSocket-Version").toStdString());
        Reply reply = Reply::error(426, "the WebSocket version spoken is 13");
        reply.headers.emplace_back("Sec-WebSocket-Version", "13");
        return send(connection, reply, false, true);
    }
    if (const char* why = handshakeRefusal(request)) return refuse(400, QString::fromLatin1(why));
    if (!liveOriginAllowed(request, *connection)) {
        // The log names the origin, so the operator sees what to allow.
        refusedRequest(connection->peer(), "refused a WebSocket client " + address(connection->peer()).toStdString() +
                                               ": origin \"" + request.header("Origin").toStdString() + "\" for host \"" +
                                               request.header("Host").toStdString() + "\" is not allowed (allow_origin, trusted_proxy)");
        return send(connection, Reply::error(403, "this origin may not read the event stream (allow_origin)"), false, true);
    }
    const ConnectionLimits& limits = config_.limits;
    if (static_cast<int>(clients_.size() + handshakes_.size()) >= limits.maxWebSocketClients) {
        ++refusedClients_;
        return refuse(503, QString("too many WebSocket clients (%1)").arg(limits.maxWebSocketClients));
    }
    if (webSocketsFrom(connection->peer()) >= limits.maxWebSocketClientsPerAddress) {
        ++refusedClients_;
        return refuse(503, QString("too many WebSocket clients from this address (%1)").arg(limits.maxWebSocketClientsPerAddress));
    }
    std::unique_ptr<QTcpSocket> socket = connection->release();
    if (!socket) return;
    if (auto* tls = qobject_cast<QSslSocket*>(socket.get()))
        tlsHandshakes_[std::make_pair(socket->peerAddress().toString(), socket->peerPort())] = tls;
    // A small kernel buffer, so that what a client does not read shows up
    // as queued here, where the 1 MiB limit sees it.
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 64 * 1024);
    const auto key = std::make_pair(socket->peerAddress().toString(), socket->peerPort());
    const QHostAddress peer = socket->peerAddress();
    handshakes_.emplace(key, Handshake{peer, QPointer<QTcpSocket>(socket.get())});
    // A handshake the WebSocket server refuses ends with its socket; the
    // checks above answer what it would refuse, so this is told if it happens.
    connect(socket.get(), &QObject::destroyed, this, [this, key, peer] {
        tlsHandshakes_.erase(key);
        if (handshakes_.erase(key) != 0)
            refusedRequest(peer, "closed a WebSocket handshake from " + address(peer).toStdString() +
                                     " that the WebSocket server refused");
    });
    // Every frame a client sends is masked, or the client is closed: looked
    // at before the WebSocket server reads it.
    maskWatches_.emplace(socket.get(), MaskWatch(request.headBytes));
    connect(socket.get(), &QObject::destroyed, this, [this, tcp = socket.get()] { maskWatches_.erase(tcp); });
    connect(socket.get(), &QIODevice::readyRead, this, [this, tcp = socket.get(), peer] {
        const auto watch = maskWatches_.find(tcp);
        if (watch == maskWatches_.end() || watch->second.look(tcp->peek(tcp->bytesAvailable()))) return;
        maskWatches_.erase(watch);
        for (auto& [ws, client] : clients_)
            if (client.tcp == tcp) return dropClient(ws, "it sent an unmasked frame");
        refusedRequest(peer, "closed WebSocket client " + address(peer).toStdString() + ": it sent an unmasked frame");
        tcp->abort();
    });
    QTcpSocket* raw = socket.release();  // the WebSocket server owns it now
    // The handshake counts against the header timeout like any request.
    QTimer::singleShot(config_.limits.headerTimeoutMs, raw, [this, key, raw, peer] {
        const auto it = handshakes_.find(key);
        if (it == handshakes_.end() || it->second.socket != raw) return;
        handshakes_.erase(it);
        refusedRequest(peer, "closed a WebSocket handshake from " + address(peer).toStdString() + " that did not complete in time");
        raw->abort();
    });
    webSockets_.handleConnection(raw);
    // Its handshake is already buffered: no new arrival would announce it.
    emit raw->readyRead();
}

int WebService::webSocketsFrom(const QHostAddress& client) const {
    int n = 0;
    for (const auto& [raw, c] : clients_) n += c.address == client ? 1 : 0;
    for (const auto& [key, h] : handshakes_) n += h.address == client ? 1 : 0;
    return n;
}

WebService::Reply WebService::answer(const HttpRequest& request, HttpConnection* connection, bool& parked) {
    // HEAD is answered as GET; the connection leaves the body out.
    const QByteArray method = request.method == "HEAD" ? QByteArray("GET") : request.method;
    const auto routed = route(method, request.path);
    if (const auto* refusal = std::get_if<Refusal>(&routed)) return Reply::error(refusal->status, refusal->error);
    const Route r = std::get<Route>(routed);

    if (method == "OPTIONS") {
        Reply preflight{204, {}, {}, {}};
        if (!allowedOrigin(request).isEmpty()) {
            preflight.headers = {{"Access-Control-Allow-Methods", "GET, PUT, OPTIONS"},
                                 {"Access-Control-Allow-Headers", "Authorization, Content-Type"},
                                 {"Access-Control-Max-Age", "600"}};
        }
        return preflight;
    }

    if (!r.scaleId.isEmpty() && hub_.signalsOf(r.scaleId) == nullptr)
        return Reply::error(404, QString("no scale \"%1\"").arg(r.scaleId));

    switch (r.resource) {
        case Resource::Dashboard: return dashboardFile("dashboard.html", "text/html; charset=utf-8");
        case Resource::DashboardScript: return dashboardFile("dashboard.js", "text/javascript; charset=utf-8");
        case Resource::DashboardStyle: return dashboardFile("dashboard.css", "text/css; charset=utf-8");
        case Resource::Scales: {
            QJsonArray list;
            for (const QString& id : hub_.ids()) list.append(stateJson(id));
            return Reply{200, "application/json", QJsonDocument(list).toJson(QJsonDocument::Compact), {}};
        }
        case Resource::Scale: return Reply{200, "application/json", json(stateJson(r.scaleId)), {}};
        case Resource::Metrics: return Reply{200, "text/plain; version=0.0.4; charset=utf-8", metrics(), {}};
        case Resource::Live: return Reply::error(426, "/api/live is a WebSocket: ask for an upgrade");
        case Resource::Properties:
            if (method == "PUT") return writeProperties(request, connection->peer(), r.scaleId);
            return Reply{200, "application/json", json(hub_.propertiesOf(r.scaleId)), {}};
        case Resource::Stable: {
            const auto timeout = stableTimeout(request.query);
            if (const auto* refusal = std::get_if<Refusal>(&timeout)) return Reply::error(refusal->status, refusal->error);
            if (const auto w = hub_.settledOf(r.scaleId)) {
                return Reply{200, "application/json",
                             json({{"weight", w->weight},
                                   {"unit", w->unit},
                                   {"at", w->at.toString(Qt::ISODateWithMs)},
                                   {"seq", static_cast<qint64>(w->seq)}}),
                             {}};
            }
            if (std::get<int>(timeout) == 0) return Reply::error(504, "timeout");
            const std::uint64_t key = nextWaiter_++;
            const std::int64_t deadline = nowMs() + std::get<int>(timeout);
            waiters_.emplace(key, Waiter{connection, r.scaleId, allowedOrigin(request), deadline, request.method == "HEAD",
                                         !request.keepAlive, {}});
            deadlines_.emplace(deadline, key);
            // A client that goes away stops waiting; its connection is not written to again.
            waiters_.at(key).gone = connect(connection, &HttpConnection::closed, this, [this, key] { waiters_.erase(key); });
            connection->setWaiting(true);  // closed to make room if it must
            rearmExpiry();
            parked = true;
            return Reply{0, {}, {}, {}};
        }
    }
    return Reply::error(404, "no such resource");
}

QJsonObject WebService::stateJson(const QString& id) const {
    QJsonObject state = hub_.stateOf(id).toJson();
    if (scaleFields_) scaleFields_(id, state);
    return state;
}

// Null when the request carries the write token; else why not.
const char* WebService::writeRefusal(const HttpRequest& request) const {
    if (config_.token.empty()) return "writes are disabled: the service has no token configured";
    // "Bearer" in any letter case, as the scheme names of HTTP are.
    const QByteArray authorization = request.header("Authorization").trimmed();
    const qsizetype space = authorization.indexOf(' ');
    if (space < 0 || authorization.left(space).compare("Bearer", Qt::CaseInsensitive) != 0)
        return "a write needs Authorization: Bearer <token>";
    if (!sameToken(authorization.mid(space + 1).trimmed(), QByteArray::fromStdString(config_.token))) return "wrong token";
    return nullptr;
}

WebService::Reply WebService::writeProperties(const HttpRequest& request, const QHostAddress& from, const QString& scaleId) {
    const QString client = address(from);
    if (const char* why = writeRefusal(request)) {
        refusedRequest(from, "refused a property write from " + client.toStdString() + ": " + why);
        return Reply::error(401, why);
    }
    auto outcome = write_.write(scaleId, request.body);
    if (const auto* refusal = std::get_if<Refusal>(&outcome)) {
        refusedRequest(from, "refused a property write on " + scaleId.toStdString() + " from " + client.toStdString() + ": " +
                                 refusal->error.toStdString());
        return Reply::error(refusal->status, refusal->error);
    }
    auto& written = std::get<WrittenProperties>(outcome);
    log_("[" + scaleId.toStdString() + "] properties written by " + client.toStdString() + ": " + written.written);
    written.properties.insert("saved", written.saved);
    return Reply{200, "application/json", json(written.properties), {}};
}

void WebService::settled(const QString& scaleId, double weight, const QString& unit, const QDateTime& at, quint64 seq) {
    const QByteArray body =
        json({{"weight", weight}, {"unit", unit}, {"at", at.toString(Qt::ISODateWithMs)}, {"seq", static_cast<qint64>(seq)}});
    answerWaitersOf(scaleId, Reply{200, "application/json", body, {}});
}

void WebService::answerWaitersOf(const QString& scaleId, const Reply& reply) {
    for (auto it = waiters_.begin(); it != waiters_.end();) {
        if (it->second.scaleId != scaleId) {
            ++it;
            continue;
        }
        answerWaiter(it->second, reply);
        it = waiters_.erase(it);
    }
}

void WebService::answerWaiter(Waiter& waiter, Reply reply) {
    // First let go of its end: an answer that fails closes the connection at
    // once, and the waiter must not be erased under its caller.
    disconnect(waiter.gone);  // a kept-alive connection collects none of them
    if (waiter.connection) {
        if (!waiter.corsOrigin.isEmpty()) reply.headers = {{"Access-Control-Allow-Origin", waiter.corsOrigin}, {"Vary", "Origin"}};
        send(waiter.connection, reply, waiter.headOnly, waiter.close);
    }
}

void WebService::expireWaiters() {
    const std::int64_t now = nowMs();
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
        const std::uint64_t key = deadlines_.begin()->second;
        deadlines_.erase(deadlines_.begin());
        const auto it = waiters_.find(key);
        if (it == waiters_.end()) continue;  // answered or gone
        answerWaiter(it->second, Reply::error(504, "timeout"));
        waiters_.erase(it);
    }
    rearmExpiry();
}

void WebService::rearmExpiry() {
    // Answered waiters leave their deadlines behind; they are skipped when due.
    while (!deadlines_.empty() && waiters_.find(deadlines_.begin()->second) == waiters_.end()) deadlines_.erase(deadlines_.begin());
    if (deadlines_.empty()) {
        expiry_.stop();
        return;
    }
    expiry_.start(static_cast<int>(std::max<std::int64_t>(0, deadlines_.begin()->first - nowMs())));
}

void WebService::acceptWebSockets() {
    while (webSockets_.hasPendingConnections()) {
        std::unique_ptr<QWebSocket> socket(webSockets_.nextPendingConnection());
        if (!socket) break;
        QWebSocket* raw = socket.get();
        raw->setParent(nullptr);
        QPointer<QTcpSocket> tcp;
        if (const auto h = handshakes_.find(std::make_pair(raw->peerAddress().toString(), raw->peerPort())); h != handshakes_.end()) {
            tcp = h->second.socket;
            handshakes_.erase(h);
        }
        if (const auto tls = tlsHandshakes_.find(std::make_pair(raw->peerAddress().toString(), raw->peerPort()));
            tls != tlsHandshakes_.end()) {
            tlsOf_[raw] = tls->second;
            tlsHandshakes_.erase(tls);
        }
        // Whatever a client's frames make the WebSocket answer (pongs,
        // replies) counts against its queue: checked after every read, both
        // after the WebSocket's own handling of it and once more later.
        if (tcp) {
            // After the WebSocket's own reading: what it left unread was seen.
            auto check = [this, raw, tcp] {
                if (const auto watch = maskWatches_.find(tcp.data()); watch != maskWatches_.end())
                    watch->second.leftUnread(tcp->bytesAvailable());
                overQueued(raw);
            };
            if (const auto watch = maskWatches_.find(tcp.data()); watch != maskWatches_.end())
                watch->second.leftUnread(tcp->bytesAvailable());
            connect(tcp.data(), &QIODevice::readyRead, this, check);
            connect(tcp.data(), &QIODevice::readyRead, this, [this, raw] { overQueued(raw); }, Qt::QueuedConnection);
        }
        // Set before the event loop reads a byte of what follows the handshake.
        const auto limit = static_cast<quint64>(config_.limits.maxWebSocketMessageBytes);
        raw->setMaxAllowedIncomingFrameSize(limit);
        raw->setMaxAllowedIncomingMessageSize(limit);
        raw->setReadBufferSize(2 * limit + 64);
        connect(raw, &QWebSocket::textMessageReceived, this, [this, raw](const QString& message) {
            const auto it = clients_.find(raw);
            if (it == clients_.end()) return;
            const auto wanted = subscription(message.toUtf8());
            if (const auto* error = std::get_if<QString>(&wanted)) {
                raw->sendTextMessage(QString::fromUtf8(json({{"error", *error}})));
                overQueued(raw);
                return;
            }
            const QStringList& ids = std::get<QStringList>(wanted);
            const qsizetype served = hub_.ids().size();
            if (ids.size() > served) {
                raw->sendTextMessage(QString::fromUtf8(
                    json({{"error", QString("a subscription names at most the %1 scale(s) served").arg(served)}})));
                overQueued(raw);
                return;
            }
            for (const QString& id : ids)
                if (hub_.signalsOf(id) == nullptr) {
                    raw->sendTextMessage(QString::fromUtf8(json({{"error", QString("no scale \"%1\"").arg(id)}})));
                    overQueued(raw);
                    return;
                }
            it->second.scales = std::set<QString>(ids.begin(), ids.end());
            raw->sendTextMessage(QString::fromUtf8(json({{"subscribed", QJsonArray::fromStringList(ids)}})));
            overQueued(raw);
        });
        // Only the pong of our own last ping answers it: unsolicited pongs
        // (allowed as a heartbeat) do not make a client look alive.
        connect(raw, &QWebSocket::pong, this, [this, raw](quint64, const QByteArray& payload) {
            const auto it = clients_.find(raw);
            if (it != clients_.end() && payload == it->second.pingPayload) it->second.unansweredPings = 0;
        });
        connect(raw, &QWebSocket::bytesWritten, this, [this, raw](qint64) {
            const auto it = clients_.find(raw);
            if (it != clients_.end()) it->second.takenMs = nowMs();
        });
        // Queued: a write inside broadcast() can find the peer gone and emit
        // this at once, while the clients are being walked.
        connect(raw, &QWebSocket::disconnected, this, [this, raw] { dropClient(raw, nullptr); }, Qt::QueuedConnection);
        const QHostAddress peer = raw->peerAddress();
        // Its first message brings the latest state of every scale heard of.
        clients_.emplace(raw, Client{std::move(socket), {}, peer, 0, {}, true, 0, nowMs(), tcp, 0, nextSerial_++, false});
        // The scales build their event texts only while someone listens.
        if (clients_.size() == 1) {
            eventsConnection_ = connect(&hub_, &ScaleHub::eventJson, this,
                                        [this](const QString& id, const QByteArray& j, bool) { batch_.add(id, j); });
            batches_.start(kBatchMs);
        }
        overQueued(raw);  // what arrived with the handshake was read already
    }
}

void WebService::pingClients() {
    std::vector<QWebSocket*> silent;
    for (auto& [raw, client] : clients_) {
        if (client.unansweredPings >= 2) {
            silent.push_back(raw);
            continue;
        }
        ++client.unansweredPings;
        client.pingPayload = QByteArray::number(++pingSeq_);
        raw->ping(client.pingPayload);
    }
    for (QWebSocket* raw : silent) dropClient(raw, "it answered no ping twice");
    for (auto it = clients_.begin(); it != clients_.end();) {
        QWebSocket* raw = (it++)->first;
        overQueued(raw);
    }
}

bool WebService::overQueued(QWebSocket* raw) {
    const auto it = clients_.find(raw);
    if (it == clients_.end()) return false;
    const qint64 queued = this->queued(raw);
    // An event message is given only to a client whose queue is short, so
    // the limit is over what it was last given.
    if (queued > kMaxQueuedBytes + it->second.lastMessageBytes) {
        dropClient(raw, "it stopped reading (1 MiB queued)");
        return true;
    }
    if (queued == 0) {
        it->second.takenMs = nowMs();
    } else if (nowMs() - it->second.takenMs > kStalledMs) {
        dropClient(raw, "it stopped reading (nothing taken for 10 s)");
        return true;
    }
    return false;
}

// One message per client per interval: the same text for every client that
// follows every scale and is up to date, built once. A client that has not
// taken what was sent before is skipped, and caught up when it has.
void WebService::sendBatches() {
    if (clients_.empty()) {
        batches_.stop();
        batch_.reset();
        return;
    }
    // The texts for clients that follow every scale, built once: the
    // interval's events, and the catch-ups of those that were skipped (by
    // the interval they were last served).
    QByteArray everything;
    bool built = false;
    std::map<std::uint64_t, QByteArray> caughtUp;
    std::vector<QWebSocket*> targets;
    targets.reserve(clients_.size());
    for (const auto& [raw, client] : clients_) targets.push_back(raw);
    for (QWebSocket* raw : targets) {
        if (overQueued(raw)) continue;
        Client& client = clients_.at(raw);
        if (client.inOutbox || queued(raw) > kSkipQueuedBytes) {
            if (!batch_.empty()) {
                client.missed = true;
                ++skippedBatches_;
            }
            continue;
        }
        if (batch_.empty() && !client.missed) continue;
        const bool catchUp = client.missed;
        const std::uint64_t since = client.servedThrough;
        client.missed = false;
        client.servedThrough = batch_.interval();
        QByteArray text;
        if (!client.scales.empty()) {
            text = catchUp ? batch_.catchUp(client.scales, since) : batch_.message(client.scales);
        } else if (!catchUp) {
            if (!built) everything = batch_.message({});
            built = true;
            text = everything;
        } else {
            auto cached = caughtUp.find(since);
            if (cached == caughtUp.end()) cached = caughtUp.emplace(since, batch_.catchUp({}, since)).first;
            text = cached->second;
        }
        if (!text.isEmpty()) {
            client.inOutbox = true;
            outbox_.push_back(Outgoing{raw, client.serial, std::move(text)});
        }
    }
    if (outboxAt_ < outbox_.size() && !outboxTurns_.isActive()) outboxTurns_.start(0);
    if (sentLog_ != nullptr) {
        timespec t{};
        ::clock_gettime(CLOCK_REALTIME, &t);
        const long long us = static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
        for (const QString& scaleId : batch_.decodedScales()) std::fprintf(sentLog_, "W %s %lld\n", scaleId.toUtf8().constData(), us);
    }
    batch_.clear();
}

// One unmasked text frame, written to the socket under the WebSocket: the
// same text is shared by every client that gets it (no copy, no conversion
// to and from UTF-16 per client; the event texts are valid UTF-8, escaped
// as they are built). Whole frames only, as the WebSocket's own
// writes are, so the two never interleave inside a frame.
// Hands the interval's messages to the sockets, kBytesPerTurn at a time.
void WebService::writeOutbox() {
    qint64 written = 0;
    while (outboxAt_ < outbox_.size() && written < kBytesPerTurn) {
        Outgoing& out = outbox_[outboxAt_++];
        const auto it = clients_.find(out.socket);
        if (it == clients_.end() || it->second.serial != out.serial) continue;  // gone meanwhile
        it->second.inOutbox = false;
        written += out.text.size();
        sendEvents(it->second, out.socket, out.text);
        overQueued(out.socket);
    }
    if (outboxAt_ < outbox_.size()) {
        outboxTurns_.start(0);
        return;
    }
    outbox_.clear();
    outboxAt_ = 0;
}

void WebService::sendEvents(Client& client, QWebSocket* raw, const QByteArray& text) {
    client.lastMessageBytes = text.size();
    if (!client.tcp) {
        raw->sendTextMessage(QString::fromUtf8(text));
        return;
    }
    QByteArray head(1, char(0x81));
    const auto n = static_cast<quint64>(text.size());
    if (n < 126) {
        head += char(n);
    } else if (n < 65536) {
        head += char(126);
        head += char(n >> 8);
        head += char(n & 0xff);
    } else {
        head += char(127);
        for (int shift = 56; shift >= 0; shift -= 8) head += char((n >> shift) & 0xff);
    }
    client.tcp->write(head);
    client.tcp->write(text);
}

void WebService::dropClient(QWebSocket* raw, const char* why) {
    const auto it = clients_.find(raw);
    if (it == clients_.end()) return;
    std::unique_ptr<QWebSocket> socket = std::move(it->second.socket);
    clients_.erase(it);
    tlsOf_.erase(raw);
    if (clients_.empty()) {
        disconnect(eventsConnection_);
        batches_.stop();
        batch_.reset();
    }
    socket->disconnect(this);
    if (why != nullptr) {
        ++droppedClients_;
        log_("dropped WebSocket client " + socket->peerAddress().toString().toStdString() + ": " + why);
        socket->abort();
    }
    socket.release()->deleteLater();
}

QByteArray WebService::metrics() const {
    QByteArray out = hub_.scaleMetrics();
    auto single = [&](const char* name, const char* type, const char* help, qulonglong value) {
        out += QByteArray("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + name + " " +
               QByteArray::number(value) + "\n";
    };
    single("orva_websocket_clients", "gauge", "Connected WebSocket clients.", clients_.size());
    single("orva_websocket_refused_total", "counter", "WebSocket clients refused over the limit.", refusedClients_);
    single("orva_websocket_dropped_total", "counter", "WebSocket clients dropped for not reading or not answering pings.", droppedClients_);
    single("orva_websocket_skipped_total", "counter", "Event messages not sent to a client that had not taken the last ones.", skippedBatches_);
    single("orva_http_connections", "gauge", "Open HTTP connections.", static_cast<qulonglong>(server_.connections()));
    single("orva_http_turned_away_total", "counter", "HTTP connections turned away over a connection limit.", server_.turnedAway());
    single("orva_http_evicted_total", "counter", "Idle HTTP connections closed to make room for a new one.", server_.evicted());
    single("orva_http_not_allowed_total", "counter", "Connections closed unread: their address is not in allow_from.",
           server_.notAllowed());
    single("orva_refused_requests_total", "counter", "Requests and connections refused.", refusedRequests_);
    single("orva_waiting_requests", "gauge", "Requests waiting for a settled weight.", waiters_.size());
    out += hub_.timerMetrics();
    for (const auto& more : moreMetrics_) out += more();
    return out;
}

}  // namespace orva::service
