#pragma once
// What a reload changes of the HTTP face. The tokens, the allowed origins,
// Host names, addresses and proxies change at once; new paths of the TLS
// pair are taken (the caller reads the pair again); a new listen address,
// TLS turned on or off and the other connection limits are logged as
// needing a restart (the socket stays as it is).

#include <functional>
#include <string>

#include "service/http/http_settings.h"

namespace orva::service {

// `running` is what the server reads; `next` the file's new settings;
// `previous` the file's settings last in force (what runs may differ:
// --listen overrides the address). Returns what the "reloaded" line adds
// ("; the token changed ..."), empty for nothing.
std::string reloadHttp(HttpSettings& running, const HttpSettings& next, const HttpSettings& previous,
                       const std::function<void(const std::string&)>& log);

}  // namespace orva::service
