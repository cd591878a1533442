#pragma once
// The service's scales on the broker: follows every scale of the hub
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
class ScaleHub;
class WritePath;
}  // namespace orva::service

namespace orva::mqtt {

class FleetPublisher {
public:
    using Log = std::function<void(const std::string&)>;

    // Follows the scales on a publisher made before them (so that a client
    // that cannot be set up stops the start before any port is opened) and
    // starts connecting at once. Writes go through the fleet's write path.
    FleetPublisher(service::ScaleHub& hub, const service::WritePath& write, std::unique_ptr<ScalePublisher> publisher,
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

    service::ScaleHub& hub_;
    const service::WritePath& write_;
    Log log_;
    std::unique_ptr<ScalePublisher> publisher_;
};

}  // namespace orva::mqtt
