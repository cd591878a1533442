#include "service/mqtt/fleet_publisher.h"

#include <QJsonDocument>
#include <algorithm>
#include <variant>

#include "service/api_request.h"
#include "service/scale_fleet.h"
#include "service/service_config.h"

namespace orva::mqtt {

FleetPublisher::FleetPublisher(service::ScaleFleet& fleet, const MqttSettings& settings, service::ConfigFile* configFile,
                               Log log)
    : fleet_(fleet), configFile_(configFile), log_(std::move(log)) {
    publisher_ = std::make_unique<ScalePublisher>(settings, log_);
    ScalePublisher* publisher = publisher_.get();
    publisher->setWriteProperties([this](const QString& id, const QJsonObject& properties) { return write(id, properties); });
    for (const QString& id : fleet_.ids()) {
        service::ScaleSignals* scale = fleet_.signalsOf(id);
        QObject::connect(scale, &service::ScaleSignals::decoded, publisher,
                         [publisher, id](const service::ScaleState& state) { publisher->reading(id, state.toJson()); });
        QObject::connect(scale, &service::ScaleSignals::onlineChanged, publisher,
                         [this, publisher, id](bool) { publisher->reading(id, fleet_.stateOf(id).toJson()); });
        QObject::connect(scale, &service::ScaleSignals::stableWeight, publisher,
                         [publisher, id](double weight, const QString& unit, const QDateTime& at) {
                             publisher->stable(id, weight, unit, at.toString(Qt::ISODateWithMs));
                         });
        // Every scale has a retained reading from the start, offline or not.
        publisher->reading(id, fleet_.stateOf(id).toJson());
    }
    // Only followed, the scales build their event texts: not for nothing.
    if (settings.events)
        QObject::connect(&fleet_, &service::ScaleHub::eventJson, publisher,
                         [publisher](const QString& id, const QByteArray& json) { publisher->event(id, json); });
    log_("mqtt: publishing " + std::to_string(fleet_.ids().size()) + " scale(s) under " + settings.topicPrefix +
         "/ to " + brokerDescription(settings) + (settings.remoteWrites ? "; remote writes allowed" : ""));
    publisher->start();
}

FleetPublisher::~FleetPublisher() = default;

QJsonObject FleetPublisher::write(const QString& id, const QJsonObject& properties) {
    service::ServiceScale* scale = fleet_.find(id);
    auto refuse = [&](const QString& why) {
        log_("mqtt: refused a property write on " + id.toStdString() + " from the broker: " + why.toStdString());
        return QJsonObject{{"ok", false}, {"error", why}};
    };
    if (scale == nullptr) return refuse("unknown scale " + id);
    const auto parsed = service::propertyWrites(QJsonDocument(properties).toJson(QJsonDocument::Compact));
    if (const auto* refusal = std::get_if<service::Refusal>(&parsed)) return refuse(refusal->error);

    ActivexORVA& c = scale->control();
    std::vector<std::pair<std::string, std::string>> saved;
    std::string written;
    for (const service::PropertyWrite& w : std::get<std::vector<service::PropertyWrite>>(parsed)) {
        std::string text;
        if (const auto* n = std::get_if<std::int16_t>(&w.value)) {
            text = std::to_string(*n);
            if (w.name == "MinFixVes") c.setMinFixVes(*n);
            else c.setDecPoint(*n);
        } else {
            text = std::get<QString>(w.value).toStdString();
            if (w.name == "ComSetting") c.setComSetting(text);
            else c.setComNumber(text);
        }
        saved.emplace_back(w.name.toStdString(), text);
        written += (written.empty() ? "" : ", ") + w.name.toStdString() + "=" + text;
    }
    log_("[" + id.toStdString() + "] properties written through the broker: " + written);
    QJsonObject result{{"ok", true},
                       {"MinFixVes", c.MinFixVes()},
                       {"DecPoint", c.DecPoint()},
                       {"ComSetting", QString::fromStdString(c.ComSetting())},
                       {"ComNumber", QString::fromStdString(c.ComNumber())},
                       {"saved", false}};
    // A scale that is not in the file (a simulated one) has nothing to save
    // to: a section with only its properties would be a scale without a port.
    const auto& inFile = configFile_ != nullptr ? configFile_->config().scales : std::vector<service::ScaleConfig>{};
    const bool configured = std::any_of(inFile.begin(), inFile.end(),
                                        [&](const service::ScaleConfig& s) { return s.id == id.toStdString(); });
    if (configured) {
        try {
            configFile_->save(id.toStdString(), saved);
            result.insert("saved", true);
        } catch (const std::exception& e) {
            log_(std::string("the configuration could not be saved: ") + e.what());
            result.insert("error", QString("the properties are in force but could not be saved: %1").arg(e.what()));
        }
    }
    return result;
}

}  // namespace orva::mqtt
