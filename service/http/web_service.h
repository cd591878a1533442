#pragma once
// The service's HTTP API, its WebSocket event stream and the dashboard, on
// the service's own connection layer (service/http), in the thread of the
// scales. Requests are answered from the scales' published state; the only
// writes go through the control's own property writes. Nothing a client does
// blocks: a waiting "stable" request is parked until its scale settles or its
// time runs out. The event stream goes out as one message per client per
// interval (LiveBatch), skipped for a client that has not taken the last
// ones; every byte queued for a WebSocket client (events, pongs, replies)
// counts against its 1 MiB, and a client that takes nothing for 10 s while
// bytes wait for it is dropped. What each client may cost is bounded by the
// configured ConnectionLimits.

#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "service/http/http_connection.h"
#include "service/http/http_server.h"
#include "service/http/refusal_log.h"
#include "service/http/live_batch.h"
#include "service/http/mask_watch.h"
#include "service/http/http_settings.h"
#include "service/write_path.h"
#include "service/scale_hub.h"

namespace orva::service {

class WebService final : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kMaxQueuedBytes = 1024 * 1024;
    // A client with more than this queued is skipped for the interval.
    static constexpr qint64 kSkipQueuedBytes = 64 * 1024;
    static constexpr int kBatchMs = 100;
    static constexpr std::int64_t kStalledMs = 10'000;
    // Event messages handed to the sockets in one turn of the event loop;
    // the rest in the next turns, so a poll due meanwhile is not kept waiting.
    static constexpr qint64 kBytesPerTurn = 512 * 1024;

    // `server` is already listening (bound before any port or broker is
    // touched); the service answers what it accepts. `settings` are read at
    // each request (a reload changes the tokens in place); writes go through
    // the fleet's write path.
    using Log = std::function<void(const std::string&)>;
    WebService(HttpServer& server, ScaleHub& hub, const HttpSettings& settings, const WritePath& write, Log log);
    ~WebService() override;


    int webSocketClients() const { return static_cast<int>(clients_.size()); }
    int waitingRequests() const { return static_cast<int>(waiters_.size()); }
    // Measurements: a line "W scale microseconds" each time a decode has been
    // handed to the WebSocket clients' sockets.
    void setSentLog(std::FILE* log) { sentLog_ = log; }
    // More lines for /metrics, in Prometheus text format (the broker link's).
    void addMetrics(std::function<QByteArray()> source) { moreMetrics_.push_back(std::move(source)); }
    // What the other faces add to a scale's state (its Modbus unit ...).
    void setScaleFields(std::function<void(const QString&, QJsonObject&)> fields) { scaleFields_ = std::move(fields); }

private:
    struct Reply {
        int status = 200;
        QByteArray contentType = "application/json";
        QByteArray body;
        std::vector<std::pair<QByteArray, QByteArray>> headers;
        static Reply error(int status, const QString& text);
    };
    struct Waiter {
        QPointer<HttpConnection> connection;
        QString scaleId;
        QByteArray corsOrigin;
        std::int64_t deadline;
        bool headOnly;
        bool close;
        QMetaObject::Connection gone = {};  // its connection's end
    };
    struct Client {
        std::unique_ptr<QWebSocket> socket;
        std::set<QString> scales;  // empty: every scale
        QHostAddress address;
        int unansweredPings = 0;
        QByteArray pingPayload;     // of the last ping: only its pong answers it
        bool missed = false;        // skipped an interval: the next message catches up
        std::uint64_t servedThrough = 0;  // the last interval whose events it was given
        std::int64_t takenMs = 0;   // when it last took a byte, or its queue was empty
        QPointer<QTcpSocket> tcp;   // under the WebSocket: event messages go straight to it
        qint64 lastMessageBytes = 0;  // the last event message, given when its queue was short
        std::uint64_t serial = 0;   // tells it from a later client at the same address
        bool inOutbox = false;      // a message of it waits in outbox_
    };
    struct Outgoing {
        QWebSocket* socket;
        std::uint64_t serial;
        QByteArray text;
    };
    struct Handshake {
        QHostAddress address;
        QPointer<QTcpSocket> socket;
    };

    static Reply dashboardFile(const char* name, const QByteArray& contentType);
    void send(HttpConnection* connection, const Reply& reply, bool headOnly, bool close = false);
    void onRequest(HttpConnection* connection, const HttpRequest& request);
    void onRefused(HttpConnection* connection, int status, const char* reason);
    void refusedRequest(const QHostAddress& client, const std::string& what);
    Reply answer(const HttpRequest& request, HttpConnection* connection, bool& parked);
    Reply writeProperties(const HttpRequest& request, const QHostAddress& from, const QString& scaleId);
    const char* writeRefusal(const HttpRequest& request) const;
    QByteArray metrics() const;
    QByteArray allowedOrigin(const HttpRequest& request) const;
    bool hostAllowed(const HttpRequest& request) const;
    bool liveOriginAllowed(const HttpRequest& request, const HttpConnection& connection) const;
    // Whether the client's page is served over HTTPS: by this service, or
    // by a trusted proxy in front of it (X-Forwarded-Proto).
    bool overHttps(const HttpRequest& request, const HttpConnection& connection) const;
    // A read without the read token (401), or a login: answered here.
    bool answeredAccess(HttpConnection* connection, const HttpRequest& request);
    // What is queued for a client: over TLS, the encrypted bytes too.
    qint64 queued(QWebSocket* socket) const;

    void settled(const QString& scaleId, double weight, const QString& unit, const QDateTime& at, quint64 seq);
    // Answers every request waiting on the scale with the reply, and forgets them.
    void answerWaitersOf(const QString& scaleId, const Reply& reply);
    void answerWaiter(Waiter& waiter, Reply reply);
    void expireWaiters();
    void rearmExpiry();

    void upgrade(HttpConnection* connection, const HttpRequest& request);
    int webSocketsFrom(const QHostAddress& address) const;
    void acceptWebSockets();
    void pingClients();
    void sendBatches();
    void sendEvents(Client& client, QWebSocket* socket, const QByteArray& text);
    void writeOutbox();
    // Drops a client whose queue is over its limit; true when it did.
    bool overQueued(QWebSocket* socket);
    void dropClient(QWebSocket* socket, const char* why);

    ScaleHub& hub_;  // the scales, as every face sees them
    const HttpSettings& config_;
    const WritePath& write_;
    Log log_;
    // The frames of each WebSocket connection, checked for their mask as
    // they arrive. First, so it outlives every socket that reports to it.
    std::map<QTcpSocket*, MaskWatch> maskWatches_;
    // Handshakes handed to the WebSocket server and not yet done, by the
    // client's address and port. Before the servers, so it outlives the
    // sockets they delete when the service ends.
    std::map<std::pair<QString, quint16>, Handshake> handshakes_;
    HttpServer& server_;
    QWebSocketServer webSockets_;
    RefusalLog refusals_;
    std::map<std::uint64_t, Waiter> waiters_;
    std::multimap<std::int64_t, std::uint64_t> deadlines_;
    std::uint64_t nextWaiter_ = 1;
    QTimer expiry_;
    QTimer pings_;
    QTimer refusalCounts_;
    QTimer batches_;
    LiveBatch batch_;
    std::uint64_t pingSeq_ = 0;
    std::uint64_t skippedBatches_ = 0;
    std::uint64_t nextSerial_ = 1;
    std::vector<Outgoing> outbox_;
    std::size_t outboxAt_ = 0;
    QTimer outboxTurns_;
    std::map<QWebSocket*, Client> clients_;
    // The TLS sockets under WebSocket clients, by the client's address and
    // port until the handshake is done, then by client.
    std::map<std::pair<QString, quint16>, QPointer<QSslSocket>> tlsHandshakes_;
    std::map<QWebSocket*, QPointer<QSslSocket>> tlsOf_;
    QMetaObject::Connection eventsConnection_;
    std::FILE* sentLog_ = nullptr;
    std::uint64_t refusedClients_ = 0;
    std::uint64_t droppedClients_ = 0;
    std::vector<std::function<QByteArray()>> moreMetrics_;
    std::function<void(const QString&, QJsonObject&)> scaleFields_;
    QJsonObject stateJson(const QString& id) const;
    std::uint64_t refusedRequests_ = 0;
};

}  // namespace orva::service
