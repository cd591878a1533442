#include "service/http/http_reload.h"

namespace orva::service {

std::string reloadHttp(HttpSettings& running, const HttpSettings& next, const HttpSettings& previous,
                       const std::function<void(const std::string&)>& log) {
    if (next.listenHost != previous.listenHost || next.listenPort != previous.listenPort)
        log("reload: the listen address changed to " + next.listenHost + ":" + std::to_string(next.listenPort) +
            "; it takes a restart, the service still listens where it did");
    const bool tokenChanged = next.token != running.token;
    const bool readTokenChanged = next.readToken != running.readToken;
    const bool allowFromChanged = !(next.allowFrom == running.allowFrom);
    running.token = next.token;
    running.readToken = next.readToken;
    running.allowOrigins = next.allowOrigins;
    running.allowFrom = next.allowFrom;
    running.trustedProxies = next.trustedProxies;
    // TLS on or off takes a restart (the socket speaks one or the other);
    // new paths of the pair are read with it after this reload.
    if (next.tlsCert.empty() != running.tlsCert.empty())
        log(std::string("reload: TLS was turned ") + (next.tlsCert.empty() ? "off" : "on") +
            " (tls_cert, tls_key); it takes a restart, the service still speaks what it did");
    else {
        running.tlsCert = next.tlsCert;
        running.tlsKey = next.tlsKey;
        running.tlsCertLine = next.tlsCertLine;
        running.tlsKeyLine = next.tlsKeyLine;
    }
    // Host names are looked up per request; the other limits were handed to
    // the listening sockets at start.
    running.limits.allowHosts = next.limits.allowHosts;
    ConnectionLimits nextLimits = next.limits;
    nextLimits.allowHosts = previous.limits.allowHosts;
    if (!(nextLimits == previous.limits)) log("reload: the connection limits in [service] changed; they take a restart");
    return std::string(tokenChanged ? "; the token changed" : "") + (readTokenChanged ? "; the read token changed" : "") +
           (allowFromChanged ? "; clients now allowed from " + running.allowFrom.describe() : "");
}

}  // namespace orva::service
