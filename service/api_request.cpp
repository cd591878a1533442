#include "service/api_request.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QUrlQuery>
#include <algorithm>
#include <cmath>

#include "control/property_table.h"
#include "control/value_conversion.h"
#include "platform/failure.h"
#include "platform/serial_settings.h"
#include "service/service_config.h"

namespace orva::service {
namespace {

Refusal refuse(int status, const QString& text) { return Refusal{status, text}; }

bool isRead(const QByteArray& method) { return method == "GET"; }

// Texts end up on one line of the configuration file: no control characters.
bool printable(const QString& text) {
    return std::none_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

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

std::variant<std::vector<PropertyWrite>, Refusal> propertyWrites(const QByteArray& body) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return refuse(400, QString("the body is not JSON: %1 at offset %2").arg(error.errorString()).arg(error.offset));
    if (!document.isObject()) return refuse(400, "the body must be a JSON object of properties");
    const QJsonObject object = document.object();
    if (object.isEmpty()) return refuse(400, "no property to write");
    std::vector<PropertyWrite> writes;
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString name = it.key();
        const QJsonValue v = it.value();
        const PropertyInfo* property = findProperty(name.toStdString());
        if (property == nullptr)
            return refuse(400, QString("no property \"%1\" (%2)").arg(name, QString::fromStdString(remotelyWritableNames())));
        if (!property->remotelyWritable)
            return refuse(400, QString("%1 is written by the scale itself at every reading").arg(name));
        if (property->type == PropertyType::Integer) {
            const double d = v.toDouble(NAN);
            if (!v.isDouble() || !std::isfinite(d) || d != std::floor(d) || d < -32768 || d > 32767)
                return refuse(400, QString("%1 must be a whole number, -32768 to 32767").arg(name));
            writes.push_back({name, static_cast<std::int16_t>(d)});
        } else if (property->form == TextForm::LineSettings) {
            if (!v.isString() || !printable(v.toString()) || v.toString().size() > 64)
                return refuse(400, "ComSetting must be a text such as \"9600,n,8,1\"");
            // Refused here, not by the port at the next poll: there the control
            // keeps its old settings while the file would hold the bad text.
            if (!parseSerialSettings(v.toString().toStdString()))
                return refuse(400, QString("ComSetting \"%1\" is not line settings: baud,parity,data bits,stop bits "
                                           "such as \"9600,n,8,1\" (parity n, e, o, m or s; 4 to 8 data bits; "
                                           "1, 1.5 or 2 stop bits)")
                                       .arg(v.toString()));
            writes.push_back({name, v.toString()});
        } else if (property->form == TextForm::PortNumber) {
            if (v.isDouble()) {
                const double d = v.toDouble();
                if (d != std::floor(d) || d < 1 || d > 32767) return refuse(400, "ComNumber must be a port number, 1 to 32767");
                writes.push_back({name, QString::number(static_cast<int>(d))});
            } else if (v.isString()) {
                // The number must read back from the configuration at the next start.
                std::int16_t n = 0;
                try {
                    n = textToInt16(v.toString().toStdString());
                } catch (const Failure&) {
                    n = 0;
                }
                if (n < 1 || !printable(v.toString())) return refuse(400, "ComNumber must be a port number, 1 to 32767");
                writes.push_back({name, v.toString()});
            } else {
                return refuse(400, "ComNumber must be a port number");
            }
        } else {
            // A text property with no check of its own here is not written remotely.
            return refuse(400, QString("%1 cannot be written remotely").arg(name));
        }
    }
    return writes;
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
