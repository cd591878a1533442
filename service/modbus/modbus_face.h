#pragma once
// The Modbus TCP face of the service: its registration.

#include "service/face_registry.h"

namespace orva::modbus {

orva::service::FaceDefinition modbusFace();

}  // namespace orva::modbus
