// The faces this service is built with, one line each.
#include "service/face_registry.h"
#include "service/modbus/modbus_face.h"

namespace orva::service {

namespace {

// A section that belongs to a program beside the service, which reads this
// same file and checks that section itself: the service runs nothing for it.
FaceDefinition companionProgramSection(std::string section) {
    return {std::move(section), "", [](const FaceInput&) { return std::shared_ptr<const FaceSettings>(); },
            [](const FaceSettings&, FaceContext) -> std::unique_ptr<Face> { return nullptr; }};
}

}  // namespace

const std::vector<FaceDefinition>& faceDefinitions() {
    static const std::vector<FaceDefinition> faces{
        orva::modbus::modbusFace(),
        companionProgramSection("opcua"),  // the OPC UA gateway, orva-opcua (gateways/opcua/)
    };
    return faces;
}

}  // namespace orva::service
