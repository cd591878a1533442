#pragma once
// What SIGHUP does: the configuration file is read again and, when it passes
// every check a start makes, put in force. Scales added, removed or changed
// are started, stopped or given a new control; every other scale keeps
// polling without a gap. A file that does not pass is refused with its file,
// line and reason, and the running configuration stays as it was. Each face
// answers for itself what a reload changes at once and what takes a restart.

#include <functional>
#include <string>
#include <vector>

#include "service/service_config.h"

namespace orva::service {

class ScaleFleet;

class ConfigReload {
public:
    using Log = std::function<void(const std::string&)>;
    // `running` is the configuration the scales run with; `extraScales` are
    // the ones not in the file (--simulate), kept at the end.
    ConfigReload(ConfigFile& file, ServiceConfig& running, ScaleFleet& fleet, std::vector<ScaleConfig> extraScales, Log log);

    // The faces to tell of every reload (after the scales changed).
    void setFaces(FaceSet* faces) { faces_ = faces; }
    // The face the program serves itself, told before the scales change:
    // given the faces' new settings and those last in force, it returns what
    // the "reloaded" line adds ("; the token changed").
    using OwnFace = std::function<std::string(const FaceSettingsMap& next, const FaceSettingsMap& previous)>;
    void setOwnFace(OwnFace ownFace) { ownFace_ = std::move(ownFace); }
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
    OwnFace ownFace_;
};

}  // namespace orva::service
