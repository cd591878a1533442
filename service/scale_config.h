#pragma once
// One scale's section of the service's configuration: its device and the
// control's properties it sets. Those are the ones a host may let a remote
// peer write, under the control's own names (control/property_table.h), each
// kept in its field.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/property_table.h"

namespace orva::service {

struct ScaleConfig {
    std::string id;
    std::string port;  // device path or tcp://host:port
    std::optional<std::int16_t> MinFixVes, DecPoint;
    std::optional<std::string> ComSetting, ComNumber;
    int line = 0;  // of the section header
};

struct ScaleSetting {
    const PropertyInfo* property;
    // The field, by the property's type; the other is null.
    std::optional<std::int16_t> ScaleConfig::*integer;
    std::optional<std::string> ScaleConfig::*text;
};

// In the order of the control's table.
const std::vector<ScaleSetting>& scaleSettings();

// The setting of that exact property name, or null: the control has no such
// property, or the reading writes it at every decode.
const ScaleSetting* findScaleSetting(std::string_view name);

// "MinFixVes, DecPoint, ComSetting, ComNumber": the keys a scale's section
// may give beside port.
std::string scaleSettingNames();

}  // namespace orva::service
