// The faces this service is built with, one line each.
#include "service/face_registry.h"
#include "service/modbus/modbus_face.h"

namespace orva::service {

const std::vector<FaceDefinition>& faceDefinitions() {
    static const std::vector<FaceDefinition> faces{
        orva::modbus::modbusFace(),
    };
    return faces;
}

}  // namespace orva::service
