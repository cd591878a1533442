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

    // Follows the fleet on a publisher made before it (so that a client
    // that cannot be set up stops the start before any port is opened) and
    // starts connecting at once. configFile may be null (nothing to save to).
    FleetPublisher(service::ScaleFleet& fleet, std::unique_ptr<ScalePublisher> publisher, service::ConfigFile* configFile,
                   Log log);
    ~FleetPublisher();
    FleetPublisher(const FleetPublisher&) = delete;
    FleetPublisher& operator=(const FleetPublisher&) = delete;

    ScalePublisher& publisher() { return *publisher_; }
    // The link's state for /metrics, in Prometheus text format.
    QByteArray metrics() const;

private:
    // Publishes one scale's readings and settled weights.
    void follow(const QString& id);
    QJsonObject write(const QString& id, const QJsonObject& properties);

    service::ScaleFleet& fleet_;
    service::ConfigFile* configFile_;
    Log log_;
    std::unique_ptr<ScalePublisher> publisher_;
};

}  // namespace orva::mqtt
