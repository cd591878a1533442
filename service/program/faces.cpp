// The faces this service is built with, one line each.
#include "service/face_registry.h"
#include "service/http/http_settings.h"
#include "service/modbus/modbus_face.h"
#include "service/mqtt/mqtt_face.h"

namespace orva::service {

namespace {

// A section that belongs to a program beside the service, which reads this
// same file and checks that section itself: the service runs nothing for it.
FaceDefinition companionProgramSection(std::string section) {
    return {std::move(section), "", [](const FaceInput&) { return std::shared_ptr<const FaceSettings>(); }, nullptr};
}

}  // namespace

const std::vector<FaceDefinition>& faceDefinitions() {
    static const std::vector<FaceDefinition> faces{
        httpFace(),                        // [service]: the HTTP API, its WebSocket and dashboard (service/http/)
        orva::mqtt::mqttFace(),            // [mqtt] (service/mqtt/)
        orva::modbus::modbusFace(),        // [modbus] (service/modbus/)
        companionProgramSection("opcua"),  // the OPC UA gateway, orva-opcua (gateways/opcua/)
    };
    return faces;
}

}  // namespace orva::service
