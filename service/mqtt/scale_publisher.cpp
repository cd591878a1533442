#include "service/mqtt/scale_publisher.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace orva::mqtt {
namespace {

// What makes a new reading: the shown weight, type, status letter and flags,
// unit, online and settled state. The time stamp moves with every poll, and
// the panel's stability lamps step through a settling on their own (the
// events carry those); neither alone is worth a retained message.
QJsonObject significant(QJsonObject scale) {
    scale.remove(QStringLiteral("updated"));
    scale.remove(QStringLiteral("panel"));
    return scale;
}

QByteArray compact(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

QJsonObject refusal(const QString& why) { return QJsonObject{{"ok", false}, {"error", why}}; }

}  // namespace

ScalePublisher::ScalePublisher(MqttSettings settings, MqttLink::Log log, const std::string& journalPath, QObject* parent)
    : QObject(parent),
      settings_(std::move(settings)),
      log_(std::move(log)),
      link_(settings_, settings_.topicPrefix + "/status", log_, this) {
    if (!journalPath.empty())
        link_.keepIn(std::make_unique<SettledJournal>(journalPath, static_cast<std::size_t>(settings_.queueLimit), log_));
    connect(&link_, &MqttLink::connected, this, &ScalePublisher::republishReadings);
    connect(&link_, &MqttLink::drained, this, [this] {
        clearForgotten();
        for (auto it = unsent_.begin(); it != unsent_.end() && !link_.backedUp();) {
            QString id = *it;
            it = unsent_.erase(it);
            publishReading(id);
        }
    });
    connect(&link_, &MqttLink::messageArrived, this, &ScalePublisher::setArrived);
    // No subscription while writes are off: nothing a peer sends there is looked at.
    if (settings_.remoteWrites) link_.subscribe(settings_.topicPrefix + "/+/set");
}

std::string ScalePublisher::topic(const QString& id, const char* leaf) const {
    return settings_.topicPrefix + "/" + id.toStdString() + "/" + leaf;
}

void ScalePublisher::reading(const QString& id, const QJsonObject& scale) {
    forgotten_.erase(id);  // back by a later reload
    // Before its first decode a scale holds only the control's initial
    // values, which say nothing about the terminal: the first reading on the
    // broker is the first decode's, about 100 ms after the scale starts.
    if (scale.value(QStringLiteral("updated")).isNull()) return;
    readings_[id] = scale;
    auto last = published_.find(id);
    if (last != published_.end() && last->second == significant(scale)) return;
    publishReading(id);
}

void ScalePublisher::publishReading(const QString& id) {
    const QJsonObject& scale = readings_[id];
    if (link_.publishNow(topic(id, "reading"), compact(scale), true)) {
        published_[id] = significant(scale);
        unsent_.erase(id);
        ++readingsPublished_;
    } else {
        unsent_.insert(id);
    }
}

void ScalePublisher::republishReadings() {
    clearForgotten();
    // The broker may have restarted without its retained messages: send all.
    for (const auto& [id, scale] : readings_) publishReading(id);
}

void ScalePublisher::forget(const QString& id) {
    readings_.erase(id);
    published_.erase(id);
    unsent_.erase(id);
    forgotten_.insert(id);
    clearForgotten();
}

void ScalePublisher::clearForgotten() {
    // An empty retained message is how a broker forgets a retained one.
    for (auto it = forgotten_.begin(); it != forgotten_.end();) {
        if (!link_.publishNow(topic(*it, "reading"), QByteArray(), true)) return;  // at the next chance
        it = forgotten_.erase(it);
    }
}

void ScalePublisher::stable(const QString& id, double weight, const QString& unit, const QString& at, quint64 sequence) {
    // "at" and "seq" are the weighing's identity, the same as /stable gives.
    QJsonObject message{{"weight", weight}, {"unit", unit}, {"at", at}};
    if (sequence > 0) message.insert("seq", static_cast<qint64>(sequence));
    link_.publishHeld(topic(id, "stable"), compact(message));
}

void ScalePublisher::publishEvent(const QString& id, const QByteArray& json) {
    if (settings_.events) link_.publishNow(topic(id, "event"), json, false);
}

void ScalePublisher::setArrived(const QString& fullTopic, const QByteArray& payload, bool retained) {
    // <prefix>/<id>/set, the only subscription, and only while writes are on:
    // whatever else a broker sends is not looked at.
    const QString prefix = QString::fromStdString(settings_.topicPrefix) + "/";
    auto unexpected = [&] {
        link_.report("unexpected", "mqtt: ignored a message from the broker on " + peerText(fullTopic.toStdString()) +
                                       (settings_.remoteWrites ? std::string() : " (remote_writes is off)"));
    };
    if (!settings_.remoteWrites || !fullTopic.startsWith(prefix) || !fullTopic.endsWith(QStringLiteral("/set")))
        return unexpected();
    const QString id = fullTopic.mid(prefix.size(), fullTopic.size() - prefix.size() - 4);
    // No level of its own, and nothing a reply's topic could not hold.
    if (id.isEmpty() || id.contains('/') || id.contains('+') || id.contains('#')) return unexpected();
    const std::string shownId = peerText(id.toStdString());
    // An empty message is how a retained one is cleared, never a write.
    if (payload.isEmpty()) return;
    if (retained) {
        // Kept by the broker from some earlier time: applying it would apply
        // it again at every start, long after whoever sent it stopped caring.
        link_.report("retained", "mqtt: ignored a retained property write on " + shownId + " (" +
                                     std::to_string(payload.size()) +
                                     " bytes) and cleared it on the broker; a write is applied only when it is sent");
        link_.clearRetained(fullTopic.toStdString());
        return;
    }
    auto answer = [&](const QJsonObject& result) { link_.publishReply(topic(id, "set/result"), compact(result)); };
    auto refuse = [&](const QString& why) {
        link_.report("refused", "mqtt: refused a property write on " + shownId + " from the broker: " +
                                    peerText(why.toStdString(), 200));
        answer(refusal(why));
    };
    if (payload.size() > kMaxSetPayload) return refuse(QStringLiteral("the message is larger than 64 KiB"));
    QJsonParseError error;
    QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return refuse(QStringLiteral("expected a JSON object of properties"));
    if (!write_) return refuse(QStringLiteral("this service takes no property writes"));
    // The write logs what it did; a refusal is logged here, folded.
    const QJsonObject result = write_(id, document.object());
    if (!result.value(QStringLiteral("ok")).toBool()) return refuse(result.value(QStringLiteral("error")).toString());
    answer(result);
}

}  // namespace orva::mqtt
