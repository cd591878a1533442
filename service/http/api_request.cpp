#include "service/http/api_request.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QUrlQuery>

#include "service/service_config.h"

namespace orva::service {
namespace {

Refusal refuse(int status, const QString& text) { return Refusal{status, text}; }

bool isRead(const QByteArray& method) { return method == "GET"; }

}  // namespace

std::variant<Route, Refusal> route(const QByteArray& method, const QByteArray& rawPath) {
    const QString path = QUrl::fromPercentEncoding(rawPath);
    const QStringList parts = path.split(u'/');  // "" first: the path starts with '/'
    auto onlyRead = [&](Route r) -> std::variant<Route, Refusal> {
        if (isRead(method) || method == "OPTIONS") return r;
        return refuse(405, QString("method %1 is not allowed on %2").arg(QString::fromLatin1(method), path));
    };
    if (path == "/" || path == "/index.html") return onlyRead({Resource::Dashboard, {}});
    if (path == "/dashboard.js") return onlyRead({Resource::DashboardScript, {}});
    if (path == "/dashboard.css") return onlyRead({Resource::DashboardStyle, {}});
    if (path == "/metrics") return onlyRead({Resource::Metrics, {}});
    if (path == "/api/live") return onlyRead({Resource::Live, {}});
    if (path == "/api/scales" || path == "/api/scales/") return onlyRead({Resource::Scales, {}});
    if (parts.size() >= 4 && parts.size() <= 5 && parts[0].isEmpty() && parts[1] == "api" && parts[2] == "scales") {
        const QString id = parts[3];
        if (!validScaleId(id.toStdString())) return refuse(404, QString("no scale \"%1\"").arg(id));
        if (parts.size() == 4) return onlyRead({Resource::Scale, id});
        if (parts[4] == "stable") return onlyRead({Resource::Stable, id});
        if (parts[4] == "properties") {
            if (isRead(method) || method == "PUT" || method == "OPTIONS") return Route{Resource::Properties, id};
            return refuse(405, QString("method %1 is not allowed on %2").arg(QString::fromLatin1(method), path));
        }
    }
    return refuse(404, QString("no such resource: %1").arg(path));
}

std::variant<int, Refusal> stableTimeout(const QByteArray& rawQuery) {
    const QUrlQuery query(QString::fromUtf8(rawQuery));
    int timeout = kDefaultStableTimeoutMs;
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key != "timeout_ms") return refuse(400, QString("unknown query parameter \"%1\" (timeout_ms)").arg(key));
        bool ok = false;
        const qlonglong n = value.toLongLong(&ok);
        if (!ok || n < 0 || n > kMaxStableTimeoutMs)
            return refuse(400, QString("timeout_ms must be a whole number of milliseconds, 0 to %1").arg(kMaxStableTimeoutMs));
        timeout = static_cast<int>(n);
    }
    return timeout;
}

std::variant<QStringList, QString> subscription(const QByteArray& message) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(message, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) return QString("expected {\"subscribe\": [ids]}");
    const QJsonObject object = document.object();
    if (object.size() != 1 || !object.value("subscribe").isArray()) return QString("expected {\"subscribe\": [ids]}");
    QStringList ids;
    for (const QJsonValue& id : object.value("subscribe").toArray()) {
        if (!id.isString() || !validScaleId(id.toString().toStdString())) return QString("scale ids are texts of letters, digits, '-' and '_'");
        ids << id.toString();
    }
    return ids;
}

}  // namespace orva::service
