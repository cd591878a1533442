#include "service/modbus/modbus_face.h"

#include "service/modbus/modbus_server.h"
#include "service/modbus/modbus_settings.h"

namespace orva::modbus {
namespace {

class ModbusFace final : public orva::service::Face {
public:
    ModbusFace(const ModbusSettings& settings, orva::service::FaceContext context)
        : server_(settings, context.hub, context.log) {}

    std::string reload(const orva::service::FaceSettings* next) override {
        const auto* settings = dynamic_cast<const ModbusSettings*>(next);
        if (settings == nullptr) return "the section is gone; Modbus TCP serves as it did until a restart";
        return server_.reload(*settings);
    }
    std::string metrics() const override { return server_.metrics(); }

private:
    ModbusServer server_;
};

}  // namespace

orva::service::FaceDefinition modbusFace() {
    return {
        "modbus",
        "modbus_",
        [](const orva::service::FaceInput& input) -> std::shared_ptr<const orva::service::FaceSettings> {
            return parseModbusSettings(input);
        },
        [](const orva::service::FaceSettings& settings, orva::service::FaceContext context) -> std::unique_ptr<orva::service::Face> {
            return std::make_unique<ModbusFace>(dynamic_cast<const ModbusSettings&>(settings), context);
        },
    };
}

}  // namespace orva::modbus
