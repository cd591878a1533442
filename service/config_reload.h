#pragma once
// What SIGHUP does: the configuration file is read again and, when it passes
// every check a start makes, put in force. Scales added, removed or changed
// are started, stopped or given a new control; every other scale keeps
// polling without a gap. A file that does not pass is refused with its file,
// line and reason, and the running configuration stays as it was. The
// tokens, the allowed origins, addresses and proxies change at once (the
// TLS pair is read again by the caller); a new listen address or [mqtt]
// section is logged as needing a restart (the socket and the broker session
// stay as they are).

#include <functional>
#include <string>
#include <vector>

#include "service/service_config.h"

namespace orva::service {

class ScaleFleet;

class ConfigReload {
public:
    using Log = std::function<void(const std::string&)>;
    // `running` is the configuration the front ends read (token, origins);
    // `extraScales` are the ones not in the file (--simulate), kept at the end.
    ConfigReload(ConfigFile& file, ServiceConfig& running, ScaleFleet& fleet, std::vector<ScaleConfig> extraScales, Log log);

    // The faces to tell of every reload (after the scales changed).
    void setFaces(FaceSet* faces) { faces_ = faces; }
    // Returns whether the new file is in force.
    bool reload();

private:
    ConfigFile& file_;
    ServiceConfig& running_;
    ServiceConfig inForce_;  // the file as the last start or reload put it in force
    ScaleFleet& fleet_;
    std::vector<ScaleConfig> extraScales_;
    Log log_;
    FaceSet* faces_ = nullptr;
};

}  // namespace orva::service
