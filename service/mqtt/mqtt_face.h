#pragma once
// The MQTT face of the service: its registration. Its section is [mqtt]
// (service/mqtt/mqtt_settings.h); the broker's client is set up (certificate
// files read, settled weights an earlier run left in the journal beside the
// configuration file taken back) before any serial port is opened, and
// connects once the scales run.

#include "service/face_registry.h"

namespace orva::mqtt {

orva::service::FaceDefinition mqttFace();

}  // namespace orva::mqtt
