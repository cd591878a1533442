#include "service/modbus/modbus_face.h"

#include <QJsonObject>
#include <memory>

#include "service/modbus/modbus_server.h"
#include "service/modbus/modbus_settings.h"

namespace orva::modbus {
namespace {

class ModbusFace final : public orva::service::Face {
public:
    explicit ModbusFace(const ModbusSettings& settings) : settings_(settings) {}

    void serve(const orva::service::FaceContext& context) override {
        server_ = std::make_unique<ModbusServer>(settings_, context.hub, context.log);
    }
    std::string reload(const orva::service::FaceSettings* next) override {
        const auto* settings = dynamic_cast<const ModbusSettings*>(next);
        if (settings == nullptr) return "[modbus] the section is gone; Modbus TCP serves as it did until a restart";
        if (!server_) return {};
        const std::string said = server_->reload(*settings);
        return said.empty() ? said : "[modbus] " + said;
    }
    std::string metrics() const override { return server_ ? server_->metrics() : std::string(); }
    void describeScale(const QString& id, QJsonObject& state) const override {
        const int unit = server_ ? server_->unitOf(id) : 0;
        if (unit > 0) state.insert("modbus_unit", unit);
    }

private:
    ModbusSettings settings_;
    std::unique_ptr<ModbusServer> server_;
};

}  // namespace

orva::service::FaceDefinition modbusFace() {
    return {
        "modbus",
        "modbus_",
        [](const orva::service::FaceInput& input) -> std::shared_ptr<const orva::service::FaceSettings> {
            return parseModbusSettings(input);
        },
        [](const orva::service::FaceSettings& settings, const orva::service::FaceStart&) -> std::unique_ptr<orva::service::Face> {
            return std::make_unique<ModbusFace>(dynamic_cast<const ModbusSettings&>(settings));
        },
    };
}

}  // namespace orva::modbus
