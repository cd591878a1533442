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
    if (next.listenHost != previous.listenHost || next.listenPort != previous.listenPort)
        log_("reload: the listen address changed to " + next.listenHost + ":" + std::to_string(next.listenPort) +
             "; it takes a restart, the service still listens where it did");
    const bool mqttChanged = next.mqtt.has_value() != previous.mqtt.has_value() ||
                             (next.mqtt && previous.mqtt && !(*next.mqtt == *previous.mqtt));
    if (mqttChanged) log_("reload: the [mqtt] section changed; it takes a restart");
    const bool tokenChanged = next.token != running_.token;
    const bool readTokenChanged = next.readToken != running_.readToken;
    const bool allowFromChanged = !(next.allowFrom == running_.allowFrom);
    running_.token = next.token;
    running_.readToken = next.readToken;
    running_.allowOrigins = next.allowOrigins;
    running_.allowFrom = next.allowFrom;
    running_.trustedProxies = next.trustedProxies;
    // TLS on or off takes a restart (the socket speaks one or the other);
    // new paths of the pair are read with it after this reload.
    if (next.tlsCert.empty() != running_.tlsCert.empty())
        log_(std::string("reload: TLS was turned ") + (next.tlsCert.empty() ? "off" : "on") +
             " (tls_cert, tls_key); it takes a restart, the service still speaks what it did");
    else {
        running_.tlsCert = next.tlsCert;
        running_.tlsKey = next.tlsKey;
        running_.tlsCertLine = next.tlsCertLine;
        running_.tlsKeyLine = next.tlsKeyLine;
    }
    // Host names are looked up per request; the other limits were handed to
    // the listening sockets at start.
    running_.limits.allowHosts = next.limits.allowHosts;
    ConnectionLimits nextLimits = next.limits;
    nextLimits.allowHosts = previous.limits.allowHosts;
    if (!(nextLimits == previous.limits)) log_("reload: the connection limits in [service] changed; they take a restart");
    running_.ports = next.ports;
    running_.scales = next.scales;
    const ScaleFleet::Changes changes = fleet_.apply(running_);
    running_.faces = next.faces;
    if (faces_ != nullptr) faces_->reload(running_.faces);
    auto list = [](const QStringList& ids) { return ids.isEmpty() ? std::string("none") : ids.join(", ").toStdString(); };
    log_("reloaded " + file_.path() + ": " + std::to_string(running_.scales.size()) + " scale(s); added " + list(changes.added) +
         "; removed " + list(changes.removed) + "; reconfigured " + list(changes.reconfigured) +
         (tokenChanged ? "; the token changed" : "") + (readTokenChanged ? "; the read token changed" : "") +
         (allowFromChanged ? "; clients now allowed from " + running_.allowFrom.describe() : ""));
    return true;
}

}  // namespace orva::service
