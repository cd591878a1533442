#pragma once
// The service's scales on the broker: follows every scale of the fleet
// (decodes, online changes, settled weights, events) into the publisher, and
// carries out remote property writes the way the HTTP API does: through the
// control's own property writes, saved back to the configuration file.

#include <QJsonObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "service/mqtt/scale_publisher.h"

namespace orva::service {
class ScaleFleet;
class ConfigFile;
}  // namespace orva::service

namespace orva::mqtt {

class FleetPublisher {
public:
    using Log = std::function<void(const std::string&)>;

    // Starts connecting at once. configFile may be null (nothing to save
    // to). Throws std::runtime_error when the client cannot be set up (a CA
    // file, certificate or key that cannot be used).
    FleetPublisher(service::ScaleFleet& fleet, const MqttSettings& settings, service::ConfigFile* configFile, Log log);
    ~FleetPublisher();
    FleetPublisher(const FleetPublisher&) = delete;
    FleetPublisher& operator=(const FleetPublisher&) = delete;

    ScalePublisher& publisher() { return *publisher_; }

private:
    QJsonObject write(const QString& id, const QJsonObject& properties);

    service::ScaleFleet& fleet_;
    service::ConfigFile* configFile_;
    Log log_;
    std::unique_ptr<ScalePublisher> publisher_;
};

}  // namespace orva::mqtt
