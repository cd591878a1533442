#pragma once
// Every scale of the service on the broker, under one topic prefix:
//
//   <prefix>/status          retained, QoS 1: "online"; "offline" as the last will
//   <prefix>/<id>/reading    retained, QoS 0: the scale object of the HTTP API,
//                            sent when anything but its time stamp and panel changed,
//                            from the scale's first decode on
//   <prefix>/<id>/stable     QoS 1: {"weight","unit","at","seq"} for every settled weight
//   <prefix>/<id>/event      QoS 0: every event as on the WebSocket (may be off)
//   <prefix>/<id>/set        subscribed while remote writes are on: a JSON
//                            object of properties to write; a retained one is
//                            never applied (it would be applied again at every
//                            start) but cleared, with a log line (folded, as are
//                            refusals: a broker may send thousands)
//   <prefix>/<id>/set/result QoS 1: what became of it, in a lane of its own
//
// Settled weights the broker has not acknowledged are kept in a journal
// (settled_journal.h) when one is given, and sent first at the next start.
//
// Retained readings are sent again at every reconnect, so a consumer that
// subscribes after an outage sees each scale's state as it is now; one that
// was missed while the socket was backed up is sent when it drains.

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "service/mqtt/mqtt_link.h"
#include "service/mqtt/mqtt_settings.h"

namespace orva::mqtt {

class ScalePublisher : public QObject {
    Q_OBJECT
public:
    // Carries out a remote write of properties on one scale and says what
    // came of it: {"ok":true,...} or {"ok":false,"error":"..."}.
    using WriteProperties = std::function<QJsonObject(const QString& id, const QJsonObject& properties)>;

    static constexpr qsizetype kMaxSetPayload = 64 * 1024;

    // journalPath: where settled weights wait for the broker's
    // acknowledgement across restarts; empty for none. Connects only at
    // start(); throws std::runtime_error when the client cannot be set up.
    ScalePublisher(MqttSettings settings, MqttLink::Log log, const std::string& journalPath = {},
                   QObject* parent = nullptr);

    void setWriteProperties(WriteProperties write) { write_ = std::move(write); }
    void start() { link_.start(); }

    // The scale's object as GET /api/scales/{id} gives it.
    void reading(const QString& id, const QJsonObject& scale);
    // A scale the service no longer has: its retained reading is cleared on
    // the broker (at the next connection if it is away), so no consumer
    // finds a scale that is gone.
    void forget(const QString& id);
    // A settled weight; at is RFC 3339 UTC with milliseconds.
    void stable(const QString& id, double weight, const QString& unit, const QString& at, quint64 sequence = 0);
    // One event as the WebSocket sends it: a JSON object in UTF-8.
    void publishEvent(const QString& id, const QByteArray& json);

    const MqttSettings& settings() const { return settings_; }
    MqttLink& link() { return link_; }
    long long readingsPublished() const { return readingsPublished_; }

    std::string topic(const QString& id, const char* leaf) const;

private:
    void republishReadings();
    void publishReading(const QString& id);
    void clearForgotten();
    void setArrived(const QString& topic, const QByteArray& payload, bool retained);

    MqttSettings settings_;
    MqttLink::Log log_;
    MqttLink link_;
    WriteProperties write_;
    std::map<QString, QJsonObject> readings_;   // last object of every scale
    std::map<QString, QJsonObject> published_;  // its significant part as last sent
    std::set<QString> unsent_;                   // changed but not sent (away or backed up)
    std::set<QString> forgotten_;                // retained readings still to clear
    long long readingsPublished_ = 0;
};

}  // namespace orva::mqtt
