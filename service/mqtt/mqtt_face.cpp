#include "service/mqtt/mqtt_face.h"

#include <QCoreApplication>
#include <QSysInfo>
#include <memory>
#include <optional>

#include "service/mqtt/fleet_publisher.h"
#include "service/mqtt/mqtt_settings.h"
#include "service/mqtt/settled_journal.h"

namespace orva::mqtt {
namespace {

struct MqttFaceSettings final : orva::service::FaceSettings {
    explicit MqttFaceSettings(MqttSettings s) : settings(std::move(s)) {}
    // The broker's socket, the pair the client library wakes its loop
    // with, the journal and its folder while it is replaced.
    long descriptors() const override { return 5; }
    MqttSettings settings;
};

std::shared_ptr<const orva::service::FaceSettings> parse(const orva::service::FaceInput& input) {
    if (input.sectionLine == 0) return nullptr;
    std::vector<SettingLine> lines;
    for (const orva::service::FaceLine& line : input.section) lines.push_back({line.key, line.value, line.line});
    try {
        return std::make_shared<MqttFaceSettings>(parseMqttSettings(lines, QSysInfo::machineHostName().toStdString(),
                                                                    QCoreApplication::applicationPid(), input.sectionLine));
    } catch (const MqttSettingsError& e) {
        throw orva::service::FaceSettingsError(e.line(), e.what());
    }
}

class MqttFace final : public orva::service::Face {
public:
    MqttFace(const MqttSettings& settings, const orva::service::FaceStart& start)
        : inForce_(settings),
          publisher_(std::make_unique<ScalePublisher>(
              settings, start.log, start.configPath.empty() ? std::string() : SettledJournal::pathBeside(start.configPath))) {}

    void serve(const orva::service::FaceContext& context) override {
        fleet_ = std::make_unique<FleetPublisher>(context.hub, context.write, std::move(publisher_), context.log);
    }
    // The broker session stays as it is: any change takes a restart.
    std::string reload(const orva::service::FaceSettings* next) override {
        const auto* settings = dynamic_cast<const MqttFaceSettings*>(next);
        std::optional<MqttSettings> said;
        if (settings != nullptr) said = settings->settings;
        const bool changed = !(said == inForce_);
        inForce_ = std::move(said);
        return changed ? "the [mqtt] section changed; it takes a restart" : std::string();
    }
    std::string metrics() const override { return fleet_ ? fleet_->metrics().toStdString() : std::string(); }

private:
    std::optional<MqttSettings> inForce_;  // the section as the file last said it
    std::unique_ptr<ScalePublisher> publisher_;
    std::unique_ptr<FleetPublisher> fleet_;
};

}  // namespace

orva::service::FaceDefinition mqttFace() {
    return {"mqtt", "", parse,
            [](const orva::service::FaceSettings& settings, const orva::service::FaceStart& start) -> std::unique_ptr<orva::service::Face> {
                return std::make_unique<MqttFace>(dynamic_cast<const MqttFaceSettings&>(settings).settings, start);
            }};
}

}  // namespace orva::mqtt
