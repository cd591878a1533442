#include "service/web_service.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <chrono>
#include <ctime>
#include <vector>

#include "service/api_request.h"
#include "service/property_writer.h"

namespace orva::service {
namespace {

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

QByteArray methodName(QHttpServerRequest::Method m) {
    switch (m) {
        case QHttpServerRequest::Method::Get: return "GET";
        case QHttpServerRequest::Method::Put: return "PUT";
        case QHttpServerRequest::Method::Delete: return "DELETE";
        case QHttpServerRequest::Method::Post: return "POST";
        case QHttpServerRequest::Method::Head: return "HEAD";
        case QHttpServerRequest::Method::Options: return "OPTIONS";
        case QHttpServerRequest::Method::Patch: return "PATCH";
        case QHttpServerRequest::Method::Connect: return "CONNECT";
        case QHttpServerRequest::Method::Trace: return "TRACE";
        default: return "UNKNOWN";
    }
}

QByteArray json(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

bool sameToken(const QByteArray& given, const QByteArray& expected) {
    // Compare digests, so the time taken says nothing about the token.
    return QCryptographicHash::hash(given, QCryptographicHash::Sha256) ==
           QCryptographicHash::hash(expected, QCryptographicHash::Sha256);
}

QString address(const QHostAddress& a) { return a.toString(); }

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

WebService::WebService(ScaleFleet& fleet, const ServiceConfig& config, ConfigFile* configFile, ScaleFleet::Log log)
    : fleet_(fleet), config_(config), configFile_(configFile), log_(std::move(log)) {
    expiry_.setSingleShot(true);
    connect(&expiry_, &QTimer::timeout, this, [this] { expireWaiters(); });
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, [this] { acceptWebSockets(); });
    auto follow = [this](const QString& id) {
        connect(fleet_.signalsOf(id), &ScaleSignals::stableWeight, this,
                [this, id](double w, const QString& unit, const QDateTime& at, quint64 seq) { settled(id, w, unit, at, seq); });
    };
    for (const QString& id : fleet_.ids()) follow(id);
    connect(&fleet_, &ScaleFleet::scaleAdded, this, follow);  // by a reload
}

WebService::~WebService() {
    for (auto& [socket, client] : clients_) client.socket->disconnect(this);
}

void WebService::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    auto responder = makeResponder(request, socket);
    send(responder, upgradeRefusal_ ? *upgradeRefusal_ : Reply::error(404, "no such resource"));
    upgradeRefusal_.reset();
}

QByteArray WebService::allowedOrigin(const QHttpServerRequest& request) const {
    const QByteArray origin = request.value("Origin");
    if (origin.isEmpty()) return {};
    for (const std::string& allowed : config_.allowOrigins)
        if (allowed == "*" || origin == QByteArray::fromStdString(allowed)) return origin;
    return {};
}

void WebService::send(QHttpServerResponder& responder, const Reply& reply) {
    responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(reply.status));
    if (!reply.contentType.isEmpty()) responder.writeHeader("Content-Type", reply.contentType);
    responder.writeHeader("Cache-Control", "no-store");
    for (const auto& [key, value] : reply.headers) responder.writeHeader(key, value);
    responder.writeHeader("Content-Length", QByteArray::number(reply.body.size()));
    responder.writeBody(reply.body);
}

bool WebService::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    if (request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) == 0) {
        // Accepting leaves the socket to the WebSocket handshake; a refusal
        // is answered over HTTP by missingHandler, before any handshake.
        upgradeRefusal_.reset();
        if (request.url().path() != "/api/live" || request.method() != QHttpServerRequest::Method::Get)
            upgradeRefusal_ = Reply::error(404, "the event stream is GET /api/live");
        else if (static_cast<int>(clients_.size()) >= kMaxWebSocketClients) {
            ++refusedClients_;
            upgradeRefusal_ = Reply::error(503, "too many WebSocket clients (256)");
        }
        // A small kernel buffer, so that what a client does not read shows
        // up as queued here, where the 1 MiB limit sees it.
        if (!upgradeRefusal_) socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 64 * 1024);
        return !upgradeRefusal_;
    }
    std::optional<QHttpServerResponder> parked;
    Reply reply = answer(request, socket, parked);
    if (reply.status == 0) return true;  // parked until the scale settles
    const QByteArray origin = allowedOrigin(request);
    if (!origin.isEmpty()) {
        reply.headers.emplace_back("Access-Control-Allow-Origin", origin);
        reply.headers.emplace_back("Vary", "Origin");
    }
    auto responder = makeResponder(request, socket);
    send(responder, reply);
    return true;
}

WebService::Reply WebService::answer(const QHttpServerRequest& request, QTcpSocket* socket,
                                     std::optional<QHttpServerResponder>& parked) {
    if (request.body().size() > kMaxBodyBytes) return Reply::error(413, "request bodies are limited to 64 KiB");
    const QByteArray method = methodName(request.method());
    const auto routed = route(method, request.url().path(QUrl::FullyEncoded).toUtf8());
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

    ServiceScale* scale = nullptr;
    if (!r.scaleId.isEmpty()) {
        scale = fleet_.find(r.scaleId);
        if (scale == nullptr) return Reply::error(404, QString("no scale \"%1\"").arg(r.scaleId));
    }

    switch (r.resource) {
        case Resource::Dashboard: return dashboardFile("dashboard.html", "text/html; charset=utf-8");
        case Resource::DashboardScript: return dashboardFile("dashboard.js", "text/javascript; charset=utf-8");
        case Resource::DashboardStyle: return dashboardFile("dashboard.css", "text/css; charset=utf-8");
        case Resource::Scales: {
            QJsonArray list;
            for (const auto& s : fleet_.scales()) list.append(s->state().toJson());
            return Reply{200, "application/json", QJsonDocument(list).toJson(QJsonDocument::Compact), {}};
        }
        case Resource::Scale: return Reply{200, "application/json", json(scale->state().toJson()), {}};
        case Resource::Metrics: return Reply{200, "text/plain; version=0.0.4; charset=utf-8", metrics(), {}};
        case Resource::Live: return Reply::error(426, "/api/live is a WebSocket: ask for an upgrade");
        case Resource::Properties:
            if (method == "PUT") return writeProperties(request, *scale);
            {
                const ActivexORVA& c = scale->control();
                return Reply{200, "application/json",
                             json({{"MinFixVes", c.MinFixVes()},
                                   {"DecPoint", c.DecPoint()},
                                   {"ComSetting", QString::fromStdString(c.ComSetting())},
                                   {"ComNumber", QString::fromStdString(c.ComNumber())},
                                   {"VesTerminal", QString::fromStdString(c.VesTerminal())},
                                   {"TipTerminal", QString::fromStdString(c.TipTerminal())},
                                   {"StatusTerminal", QString::fromStdString(c.StatusTerminal())},
                                   {"UnitWeight", QString::fromStdString(c.UnitWeight())}}),
                             {}};
            }
        case Resource::Stable: {
            const auto timeout = stableTimeout(request.url().query(QUrl::FullyEncoded).toUtf8());
            if (const auto* refusal = std::get_if<Refusal>(&timeout)) return Reply::error(refusal->status, refusal->error);
            if (const auto w = scale->settledWeight()) {
                return Reply{200, "application/json",
                             json({{"weight", *w},
                                   {"unit", QString::fromStdString(scale->control().UnitWeight())},
                                   {"at", scale->settledAt().toString(Qt::ISODateWithMs)},
                                   {"seq", static_cast<qint64>(scale->weighingNumber())}}),
                             {}};
            }
            if (std::get<int>(timeout) == 0) return Reply::error(504, "timeout");
            const std::uint64_t key = nextWaiter_++;
            const std::int64_t deadline = nowMs() + std::get<int>(timeout);
            parked.emplace(makeResponder(request, socket));
            waiters_.emplace(key, Waiter{std::move(*parked), socket, r.scaleId, allowedOrigin(request), deadline});
            parked.reset();
            deadlines_.emplace(deadline, key);
            // A client that goes away stops waiting; its socket is not written to again.
            connect(socket, &QTcpSocket::disconnected, this, [this, key] {
                waiters_.erase(key);
            });
            rearmExpiry();
            return Reply{0, {}, {}, {}};
        }
    }
    return Reply::error(404, "no such resource");
}

WebService::Reply WebService::writeProperties(const QHttpServerRequest& request, ServiceScale& scale) {
    const QString client = address(request.remoteAddress());
    if (config_.token.empty()) {
        log_("refused a property write from " + client.toStdString() + ": the service has no token");
        return Reply::error(401, "writes are disabled: the service has no token configured");
    }
    const QByteArray authorization = request.value("Authorization");
    if (!authorization.startsWith("Bearer ")) {
        log_("refused a property write from " + client.toStdString() + ": no token");
        return Reply::error(401, "a write needs Authorization: Bearer <token>");
    }
    if (!sameToken(authorization.mid(7).trimmed(), QByteArray::fromStdString(config_.token))) {
        log_("refused a property write from " + client.toStdString() + ": wrong token");
        return Reply::error(401, "wrong token");
    }
    auto outcome = orva::service::writeProperties(scale, request.body(), configFile_);
    if (const auto* refusal = std::get_if<Refusal>(&outcome)) {
        log_("refused a property write on " + scale.id().toStdString() + " from " + client.toStdString() + ": " +
             refusal->error.toStdString());
        return Reply::error(refusal->status, refusal->error);
    }
    auto& written = std::get<WrittenProperties>(outcome);
    log_("[" + scale.id().toStdString() + "] properties written by " + client.toStdString() + ": " + written.written);
    if (written.saveError) {
        log_("the configuration could not be saved: " + *written.saveError);
        return Reply::error(500, QString("the properties are in force but could not be saved: %1")
                                     .arg(QString::fromStdString(*written.saveError)));
    }
    written.properties.insert("saved", written.saved);
    return Reply{200, "application/json", json(written.properties), {}};
}

void WebService::settled(const QString& scaleId, double weight, const QString& unit, const QDateTime& at, quint64 seq) {
    const QByteArray body =
        json({{"weight", weight}, {"unit", unit}, {"at", at.toString(Qt::ISODateWithMs)}, {"seq", static_cast<qint64>(seq)}});
    for (auto it = waiters_.begin(); it != waiters_.end();) {
        if (it->second.scaleId != scaleId || !it->second.socket) {
            ++it;
            continue;
        }
        Reply reply{200, "application/json", body, {}};
        if (!it->second.corsOrigin.isEmpty()) reply.headers = {{"Access-Control-Allow-Origin", it->second.corsOrigin}, {"Vary", "Origin"}};
        it->second.socket->disconnect(this);
        send(it->second.responder, reply);
        it = waiters_.erase(it);
    }
}

void WebService::expireWaiters() {
    const std::int64_t now = nowMs();
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
        const std::uint64_t key = deadlines_.begin()->second;
        deadlines_.erase(deadlines_.begin());
        const auto it = waiters_.find(key);
        if (it == waiters_.end()) continue;  // answered or gone
        if (it->second.socket) {
            Reply reply = Reply::error(504, "timeout");
            if (!it->second.corsOrigin.isEmpty()) reply.headers = {{"Access-Control-Allow-Origin", it->second.corsOrigin}, {"Vary", "Origin"}};
            it->second.socket->disconnect(this);
            send(it->second.responder, reply);
        }
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
    while (hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> socket = nextPendingWebSocketConnection();
        if (!socket) break;
        QWebSocket* raw = socket.get();
        if (static_cast<int>(clients_.size()) >= kMaxWebSocketClients) {
            // Two handshakes that passed the check together: the later one goes.
            ++refusedClients_;
            socket->close(static_cast<QWebSocketProtocol::CloseCode>(1013), "too many clients");
            raw->setParent(this);
            connect(raw, &QWebSocket::disconnected, raw, &QObject::deleteLater);
            socket.release();
            continue;
        }
        connect(raw, &QWebSocket::textMessageReceived, this, [this, raw](const QString& message) {
            const auto it = clients_.find(raw);
            if (it == clients_.end()) return;
            const auto wanted = subscription(message.toUtf8());
            if (const auto* error = std::get_if<QString>(&wanted)) {
                raw->sendTextMessage(QString::fromUtf8(json({{"error", *error}})));
                return;
            }
            const QStringList& ids = std::get<QStringList>(wanted);
            for (const QString& id : ids)
                if (fleet_.find(id) == nullptr) {
                    raw->sendTextMessage(QString::fromUtf8(json({{"error", QString("no scale \"%1\"").arg(id)}})));
                    return;
                }
            it->second.scales = std::set<QString>(ids.begin(), ids.end());
            raw->sendTextMessage(QString::fromUtf8(json({{"subscribed", QJsonArray::fromStringList(ids)}})));
        });
        // Queued: a write inside broadcast() can find the peer gone and emit
        // this at once, while the clients are being walked.
        connect(raw, &QWebSocket::disconnected, this, [this, raw] { dropClient(raw, nullptr); }, Qt::QueuedConnection);
        clients_.emplace(raw, Client{std::move(socket), {}});
        // The scales build their event texts only while someone listens.
        if (clients_.size() == 1)
            eventsConnection_ = connect(&fleet_, &ScaleHub::eventJson, this,
                                        [this](const QString& id, const QByteArray& j) { broadcast(id, j); });
    }
}

void WebService::broadcast(const QString& scaleId, const QByteArray& message) {
    if (clients_.empty()) return;
    const QString text = QString::fromUtf8(message);
    std::vector<QWebSocket*> targets;
    targets.reserve(clients_.size());
    for (const auto& [raw, client] : clients_)
        if (client.scales.empty() || client.scales.count(scaleId) != 0) targets.push_back(raw);
    std::vector<QWebSocket*> slow;
    for (QWebSocket* raw : targets) {
        if (clients_.count(raw) == 0) continue;  // gone while the others were written
        if (raw->bytesToWrite() + message.size() > kMaxQueuedBytes) {
            slow.push_back(raw);
            continue;
        }
        raw->sendTextMessage(text);
        // Out now, not when the event loop next looks at the socket: a
        // client hears of a decode while the rest of the wake-up still runs.
        raw->flush();
    }
    for (QWebSocket* raw : slow) dropClient(raw, "it stopped reading (1 MiB queued)");
    if (sentLog_ != nullptr && message.left(48).contains("\"event\":\"Decode\"")) {
        timespec t{};
        ::clock_gettime(CLOCK_REALTIME, &t);
        std::fprintf(sentLog_, "W %s %lld\n", scaleId.toUtf8().constData(),
                     static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000);
    }
}

void WebService::dropClient(QWebSocket* raw, const char* why) {
    const auto it = clients_.find(raw);
    if (it == clients_.end()) return;
    std::unique_ptr<QWebSocket> socket = std::move(it->second.socket);
    clients_.erase(it);
    if (clients_.empty()) disconnect(eventsConnection_);
    socket->disconnect(this);
    if (why != nullptr) {
        ++droppedClients_;
        log_("dropped WebSocket client " + socket->peerAddress().toString().toStdString() + ": " + why);
        socket->abort();
    }
    socket.release()->deleteLater();
}

QByteArray WebService::metrics() const {
    QByteArray out;
    auto family = [&](const char* name, const char* type, const char* help, auto value) {
        out += QByteArray("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
        for (const auto& s : fleet_.scales())
            out += QByteArray(name) + "{scale=\"" + s->id().toUtf8() + "\"} " + QByteArray::number(value(*s)) + "\n";
    };
    family("orva_polls_total", "counter", "Polls (requests) sent to the terminal.",
           [](const ServiceScale& s) { return static_cast<qulonglong>(s.counters().polls); });
    family("orva_decodes_total", "counter", "Decodes of the terminal's reply.",
           [](const ServiceScale& s) { return static_cast<qulonglong>(s.counters().decodes); });
    family("orva_unrecognised_total", "counter", "Decodes of a reply that was not a frame.",
           [](const ServiceScale& s) { return static_cast<qulonglong>(s.counters().unrecognised); });
    family("orva_stable_weights_total", "counter", "Settled weights (StabVes).",
           [](const ServiceScale& s) { return static_cast<qulonglong>(s.counters().stableWeights); });
    family("orva_reconfigurations_total", "counter", "Port reconfigurations.",
           [](const ServiceScale& s) { return static_cast<qulonglong>(s.counters().reconfigurations); });
    family("orva_port_failures_total", "counter", "Failed opens and devices lost while open.",
           [](const ServiceScale& s) { return static_cast<qulonglong>(s.counters().portFailures); });
    family("orva_online", "gauge", "1 when a reply was recognised in the last 2 s.",
           [](const ServiceScale& s) { return static_cast<qulonglong>(s.online() ? 1 : 0); });
    auto single = [&](const char* name, const char* type, const char* help, qulonglong value) {
        out += QByteArray("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + name + " " +
               QByteArray::number(value) + "\n";
    };
    out += fleet_.portStateMetrics();
    single("orva_websocket_clients", "gauge", "Connected WebSocket clients.", clients_.size());
    single("orva_websocket_refused_total", "counter", "WebSocket clients refused over the limit.", refusedClients_);
    single("orva_websocket_dropped_total", "counter", "WebSocket clients dropped for not reading.", droppedClients_);
    single("orva_waiting_requests", "gauge", "Requests waiting for a settled weight.", waiters_.size());
    single("orva_tick_wakeups_total", "counter", "Wake-ups of the shared tick timer.", fleet_.scheduler().wakeUps());
    single("orva_ticks_total", "counter", "Timer ticks of all controls.", fleet_.scheduler().ticks());
    for (const auto& more : moreMetrics_) out += more();
    return out;
}

}  // namespace orva::service
