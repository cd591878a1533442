#pragma once
// The HTTP face's settings: the [service] section of the configuration file
// (the service's own address, its tokens, who may connect, TLS, what one
// client may cost). A file without the section serves on 127.0.0.1:8650
// with the defaults.
//
//   listen          host:port or [v6]:port
//   token           the write token; empty: writes are refused
//   read_token      empty: reads are open to whoever may connect
//   allow_origin    comma-separated origins given CORS
//   allow_host      comma-separated names the Host header may carry besides ours
//   allow_from      comma-separated addresses or CIDR blocks that may connect
//   trusted_proxy   the proxies whose X-Forwarded-Proto is believed
//   tls_cert, tls_key  PEM files: with both, the socket speaks TLS only
//   max_header_bytes ... websocket_ping_ms  the connection limits
//                   (service/http/connection_limits.h)

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "service/allow_list.h"
#include "service/face_registry.h"
#include "service/http/connection_limits.h"

namespace orva::service {

struct HttpSettings final : FaceSettings {
    std::string listenHost = "127.0.0.1";
    std::uint16_t listenPort = 8650;
    std::string token;                       // empty: writes are refused
    std::string readToken;                   // empty: reads are open to whoever may connect
    std::vector<std::string> allowOrigins;   // CORS
    AllowList allowFrom = AllowList::everyone();  // who may connect at all
    // Reverse proxies whose X-Forwarded-Proto is believed (the dashboard's
    // origin behind a proxy that speaks TLS); none by default.
    std::optional<AllowList> trustedProxies;
    // PEM files: with both, the listening socket speaks TLS only. The lines
    // name them in refusals.
    std::string tlsCert, tlsKey;
    int tlsCertLine = 0, tlsKeyLine = 0;
    ConnectionLimits limits;                 // what one client may cost
};

// The section's settings; always some (the defaults without a section).
// Throws FaceSettingsError.
std::shared_ptr<const HttpSettings> parseHttpSettings(const FaceInput& input);

// The HTTP face's settings among every face's (the defaults when the map
// holds none: a service started without a configuration file).
const HttpSettings& httpSettingsOf(const FaceSettingsMap& faces);

// The registration: the program serves this face itself, first of all, so
// the definition only parses.
FaceDefinition httpFace();

}  // namespace orva::service
