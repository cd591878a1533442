#include "service/http/http_settings.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <string_view>
#include <tuple>

#include "hosts/keyed_text.h"
#include "service/service_config.h"

namespace orva::service {
namespace {

// The connection limits, each from 1 to this.
constexpr int kMaxLimit = 100'000'000;

int* connectionLimit(ConnectionLimits& l, const std::string& key) {
    const std::pair<const char*, int*> keys[] = {
        {"max_header_bytes", &l.maxHeaderBytes},
        {"max_headers", &l.maxHeaders},
        {"max_body_bytes", &l.maxBodyBytes},
        {"header_timeout_ms", &l.headerTimeoutMs},
        {"idle_timeout_ms", &l.idleTimeoutMs},
        {"max_connections", &l.maxConnections},
        {"max_connections_per_address", &l.maxConnectionsPerAddress},
        {"max_websocket_clients", &l.maxWebSocketClients},
        {"max_websocket_clients_per_address", &l.maxWebSocketClientsPerAddress},
        {"max_websocket_message_bytes", &l.maxWebSocketMessageBytes},
        {"websocket_ping_ms", &l.webSocketPingMs},
    };
    for (const auto& [name, field] : keys)
        if (key == name) return field;
    return nullptr;
}

// A comma-separated list, its blank members left out.
void appendList(std::string_view rest, std::vector<std::string>& out) {
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const std::string_view one = host::trimBlanks(rest.substr(0, comma));
        if (!one.empty()) out.emplace_back(one);
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
}

void parseLine(const FaceLine& line, HttpSettings& s) {
    const std::string& key = line.key;
    const std::string& value = line.value;
    auto fail = [&](const std::string& reason) { throw FaceSettingsError(line.line, reason); };
    if (key == "listen") {
        try {
            std::tie(s.listenHost, s.listenPort) = parseListen(value);
        } catch (const std::invalid_argument& e) {
            fail(e.what());
        }
    } else if (key == "token") {
        // It travels in a header line, which can hold no control character.
        if (std::any_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
            fail("token may hold no control character (a line feed, a tab, ...): a header line cannot carry it");
        s.token = value;
    } else if (key == "read_token") {
        s.readToken = value;
    } else if (key == "allow_from" || key == "trusted_proxy") {
        std::string why;
        auto list = AllowList::parse(value, &why);
        if (!list) fail(key + ": " + why);
        if (key == "allow_from") s.allowFrom = *list;
        else s.trustedProxies = *list;
    } else if (key == "tls_cert" || key == "tls_key") {
        if (value.empty() || value.front() != '/') fail(key + " must be an absolute path to a PEM file");
        (key == "tls_cert" ? s.tlsCert : s.tlsKey) = value;
        (key == "tls_cert" ? s.tlsCertLine : s.tlsKeyLine) = line.line;
    } else if (key == "allow_origin") {
        appendList(value, s.allowOrigins);
    } else if (key == "allow_host") {
        appendList(value, s.limits.allowHosts);
    } else if (int* limit = connectionLimit(s.limits, key)) {
        int n = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
        if (ec != std::errc() || end != value.data() + value.size() || n < 1 || n > kMaxLimit)
            fail(key + " must be a whole number from 1 to " + std::to_string(kMaxLimit));
        *limit = n;
    } else {
        fail("unknown key \"" + key +
             "\" in [service] (listen, token, read_token, allow_origin, allow_host, allow_from, trusted_proxy, "
             "tls_cert, tls_key, the limits)");
    }
}

}  // namespace

std::shared_ptr<const HttpSettings> parseHttpSettings(const FaceInput& input) {
    auto settings = std::make_shared<HttpSettings>();
    for (const FaceLine& line : input.section) parseLine(line, *settings);
    if (settings->tlsCert.empty() != settings->tlsKey.empty())
        throw FaceSettingsError(std::max(settings->tlsCertLine, settings->tlsKeyLine),
                                settings->tlsCert.empty() ? "tls_key needs tls_cert beside it" : "tls_cert needs tls_key beside it");
    return settings;
}

const HttpSettings& httpSettingsOf(const FaceSettingsMap& faces) {
    static const HttpSettings defaults;
    const auto found = faces.find("service");
    const auto* settings = found != faces.end() ? dynamic_cast<const HttpSettings*>(found->second.get()) : nullptr;
    return settings != nullptr ? *settings : defaults;
}

FaceDefinition httpFace() {
    return {"service", "", [](const FaceInput& input) -> std::shared_ptr<const FaceSettings> { return parseHttpSettings(input); },
            nullptr};
}

}  // namespace orva::service
