#include "service/config_reload.h"

#include <QStringList>

#include "service/scale_fleet.h"

namespace orva::service {
ConfigReload::ConfigReload(ConfigFile& file, ServiceConfig& running, ScaleFleet& fleet, std::vector<ScaleConfig> extraScales,
                           Log log)
    : file_(file),
      running_(running),
      inForce_(file.config()),
      fleet_(fleet),
      extraScales_(std::move(extraScales)),
      log_(std::move(log)) {}

bool ConfigReload::reload() {
    // Compared with the file as last put in force, not with what runs
    // (--listen may override it), nor with the file as a property write last
    // saved it (that keeps the operator's edits, not yet in force).
    const ServiceConfig previous = inForce_;
    ServiceConfig next;
    try {
        next = file_.reload([this](const ServiceConfig& candidate) {
            for (const ScaleConfig& extra : extraScales_)
                for (const ScaleConfig& s : candidate.scales)
                    if (s.id == extra.id)
                        throw ConfigError(file_.path(), s.line, "scale id \"" + s.id + "\" is a simulated terminal's");
        });
    } catch (const ConfigError& e) {
        log_(std::string("reload refused, the running configuration stays: ") + e.what());
        return false;
    }
    inForce_ = next;
    for (const ScaleConfig& extra : extraScales_) next.scales.push_back(extra);
    const std::string said = ownFace_ ? ownFace_(next.faces, previous.faces) : std::string();
    running_.ports = next.ports;
    running_.scales = next.scales;
    const ScaleFleet::Changes changes = fleet_.apply(running_);
    running_.faces = next.faces;
    if (faces_ != nullptr) faces_->reload(running_.faces);
    auto list = [](const QStringList& ids) { return ids.isEmpty() ? std::string("none") : ids.join(", ").toStdString(); };
    log_("reloaded " + file_.path() + ": " + std::to_string(running_.scales.size()) + " scale(s); added " + list(changes.added) +
         "; removed " + list(changes.removed) + "; reconfigured " + list(changes.reconfigured) + said);
    return true;
}

}  // namespace orva::service
