#pragma once
// The service's HTTP API, its WebSocket event stream and the dashboard, on
// Qt HttpServer, in the thread of the scales. Requests are answered from the
// scales' published state; the only writes go through the control's own
// property writes. Nothing a client does blocks: a waiting "stable" request
// is parked until its scale settles or its time runs out, and a WebSocket
// client that stops reading is dropped once 1 MiB is queued for it.

#include <QAbstractHttpServer>
#include <QHttpServerResponder>
#include <QPointer>
#include <QTimer>
#include <QWebSocket>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "service/scale_fleet.h"
#include "service/service_config.h"

class QTcpSocket;

namespace orva::service {

class WebService final : public QAbstractHttpServer {
    Q_OBJECT
public:
    static constexpr qint64 kMaxBodyBytes = 64 * 1024;
    static constexpr int kMaxWebSocketClients = 256;
    static constexpr qint64 kMaxQueuedBytes = 1024 * 1024;

    // configFile may be null (a simulated demo has no file to save to).
    WebService(ScaleFleet& fleet, const ServiceConfig& config, ConfigFile* configFile, ScaleFleet::Log log);
    ~WebService() override;

    int webSocketClients() const { return static_cast<int>(clients_.size()); }
    int waitingRequests() const { return static_cast<int>(waiters_.size()); }
    // Measurements: a line "W scale microseconds" each time a decode has been
    // handed to the WebSocket clients' sockets.
    void setSentLog(std::FILE* log) { sentLog_ = log; }
    // More lines for /metrics, in Prometheus text format (the broker link's).
    void addMetrics(std::function<QByteArray()> source) { moreMetrics_.push_back(std::move(source)); }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Reply {
        int status = 200;
        QByteArray contentType = "application/json";
        QByteArray body;
        std::vector<std::pair<QByteArray, QByteArray>> headers;
        static Reply error(int status, const QString& text);
    };
    struct Waiter {
        QHttpServerResponder responder;
        QPointer<QTcpSocket> socket;
        QString scaleId;
        QByteArray corsOrigin;
        std::int64_t deadline;
    };
    struct Client {
        std::unique_ptr<QWebSocket> socket;
        std::set<QString> scales;  // empty: every scale
    };

    static Reply dashboardFile(const char* name, const QByteArray& contentType);
    void send(QHttpServerResponder& responder, const Reply& reply);
    Reply answer(const QHttpServerRequest& request, QTcpSocket* socket, std::optional<QHttpServerResponder>& parked);
    Reply writeProperties(const QHttpServerRequest& request, ServiceScale& scale);
    QByteArray metrics() const;
    QByteArray allowedOrigin(const QHttpServerRequest& request) const;

    void settled(const QString& scaleId, double weight, const QString& unit, const QDateTime& at, quint64 seq);
    void expireWaiters();
    void rearmExpiry();

    void acceptWebSockets();
    void broadcast(const QString& scaleId, const QByteArray& json);
    void dropClient(QWebSocket* socket, const char* why);

    ScaleFleet& fleet_;
    const ServiceConfig& config_;
    ConfigFile* configFile_;
    ScaleFleet::Log log_;
    std::map<std::uint64_t, Waiter> waiters_;
    std::multimap<std::int64_t, std::uint64_t> deadlines_;
    std::uint64_t nextWaiter_ = 1;
    QTimer expiry_;
    std::map<QWebSocket*, Client> clients_;
    std::optional<Reply> upgradeRefusal_;
    QMetaObject::Connection eventsConnection_;
    std::FILE* sentLog_ = nullptr;
    std::uint64_t refusedClients_ = 0;
    std::uint64_t droppedClients_ = 0;
    std::vector<std::function<QByteArray()>> moreMetrics_;
};

}  // namespace orva::service
