#include "service/mqtt/fleet_publisher.h"

#include <QJsonDocument>
#include <variant>

#include "service/write_path.h"
#include "service/scale_hub.h"

namespace orva::mqtt {

FleetPublisher::FleetPublisher(service::ScaleHub& hub, const service::WritePath& writePath,
                               std::unique_ptr<ScalePublisher> publisher_made, Log log)
    : hub_(hub), write_(writePath), log_(std::move(log)), publisher_(std::move(publisher_made)) {
    ScalePublisher* publisher = publisher_.get();
    const MqttSettings& settings = publisher->settings();
    publisher->setWriteProperties([this](const QString& id, const QJsonObject& properties) { return write(id, properties); });
    for (const QString& id : hub_.ids()) follow(id);
    // A scale a reload adds is published from then on, like the others.
    QObject::connect(&hub_, &service::ScaleHub::scaleAdded, publisher, [this](const QString& id) { follow(id); });
    QObject::connect(&hub_, &service::ScaleHub::scaleRemoved, publisher,
                     [publisher](const QString& id) { publisher->forget(id); });
    // Only followed, the scales build their event texts: not for nothing.
    if (settings.events)
        QObject::connect(&hub_, &service::ScaleHub::eventJson, publisher,
                         [publisher](const QString& id, const QByteArray& json) { publisher->publishEvent(id, json); });
    log_("mqtt: publishing " + std::to_string(hub_.ids().size()) + " scale(s) under " + settings.topicPrefix +
         "/ to " + brokerDescription(settings) + (settings.remoteWrites ? "; remote writes allowed" : ""));
    publisher->start();
}

void FleetPublisher::follow(const QString& id) {
    ScalePublisher* publisher = publisher_.get();
    service::ScaleSignals* scale = hub_.signalsOf(id);
    QObject::connect(scale, &service::ScaleSignals::decoded, publisher,
                     [publisher, id](const service::ScaleState& state) { publisher->reading(id, state.toJson()); });
    QObject::connect(scale, &service::ScaleSignals::onlineChanged, publisher,
                     [this, publisher, id](bool) { publisher->reading(id, hub_.stateOf(id).toJson()); });
    QObject::connect(scale, &service::ScaleSignals::stableWeight, publisher,
                     [publisher, id](double weight, const QString& unit, const QDateTime& at, quint64 sequence) {
                         publisher->stable(id, weight, unit, at.toString(Qt::ISODateWithMs), sequence);
                     });
    // Every scale has a retained reading from the start, offline or not.
    publisher->reading(id, hub_.stateOf(id).toJson());
}

FleetPublisher::~FleetPublisher() = default;

QByteArray FleetPublisher::metrics() const {
    const MqttLink& link = publisher_->link();
    const MqttLink::Counters& c = link.counters();
    const SettledJournal* journal = link.journal();
    QByteArray out;
    auto single = [&](const char* name, const char* type, const char* help, long long value) {
        out += QByteArray("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + name + " " +
               QByteArray::number(value) + "\n";
    };
    single("orva_mqtt_connected", "gauge", "1 while the broker has accepted the connection.", link.isConnected() ? 1 : 0);
    single("orva_mqtt_held", "gauge", "Settled weights not yet acknowledged by the broker.",
           static_cast<long long>(link.held()));
    single("orva_mqtt_dropped_total", "counter", "Settled weights dropped beyond queue_limit or refused by the client.",
           c.droppedQueued + (journal ? journal->droppedAtReplay() : 0));
    single("orva_mqtt_replies_dropped_total", "counter", "Replies to remote writes dropped beyond their own bound.",
           c.droppedReplies);
    single("orva_mqtt_journal_failures_total", "counter", "Failed reads, writes or syncs of the journal.",
           journal ? journal->writeFailures() : 0);
    single("orva_mqtt_unsubscribed_total", "counter", "Messages from the broker on topics not subscribed, dropped.",
           c.unsubscribed);
    single("orva_mqtt_oversized_total", "counter", "Connections cut for a packet larger than the service takes.",
           c.oversized);
    single("orva_mqtt_clears_dropped_total", "counter", "Retained writes left uncleared beyond their bound.",
           c.droppedClears);
    single("orva_mqtt_takeovers_total", "counter", "Connections whose session another client took (same client_id).",
           c.takeovers);
    return out;
}

QJsonObject FleetPublisher::write(const QString& id, const QJsonObject& properties) {
    // The publisher logs refusals, folded: a broker may send many.
    auto refuse = [&](const QString& why) { return QJsonObject{{"ok", false}, {"error", why}}; };
    if (hub_.signalsOf(id) == nullptr) return refuse("unknown scale " + QString::fromStdString(peerText(id.toStdString())));
    auto outcome = write_.write(id, QJsonDocument(properties).toJson(QJsonDocument::Compact));
    if (const auto* refusal = std::get_if<service::Refusal>(&outcome)) return refuse(refusal->error);
    auto& written = std::get<service::WrittenProperties>(outcome);
    log_("[" + id.toStdString() + "] properties written through the broker: " + written.written);
    QJsonObject result = written.properties;
    result.insert("ok", true);
    result.insert("saved", written.saved);
    return result;
}

}  // namespace orva::mqtt
