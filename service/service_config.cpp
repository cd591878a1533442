#include "service/service_config.h"

#include <QCoreApplication>
#include <QSaveFile>
#include <QSysInfo>
#include <QFile>
#include <algorithm>
#include <charconv>
#include <set>

#include "control/value_conversion.h"
#include "platform/failure.h"
#include "service/fd_serial_port.h"

namespace orva::service {
namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// A value as written: bare, or in double quotes with \" and \\ escapes.
std::optional<std::string> unquote(std::string_view v) {
    if (v.empty() || v.front() != '"') return std::string(v);
    if (v.size() < 2 || v.back() != '"') return std::nullopt;
    std::string out;
    for (std::size_t i = 1; i + 1 < v.size(); ++i) {
        if (v[i] == '\\' && i + 2 < v.size()) ++i;
        else if (v[i] == '"') return std::nullopt;
        out += v[i];
    }
    return out;
}

std::string quote(std::string_view v) {
    const bool plain = !v.empty() && v.find_first_of("\"\\#;") == std::string_view::npos && trim(v) == v;
    if (plain) return std::string(v);
    std::string out = "\"";
    for (char c : v) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

struct Line {
    enum class Kind { Blank, Section, Entry, Bad } kind = Kind::Blank;
    std::string_view name;  // section or key
    std::string_view value;
};

// The line without a comment: "#" or ";" at its start, or after a blank
// outside double quotes.
std::string_view withoutComment(std::string_view s) {
    bool quoted = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (quoted && s[i] == '\\') {
            ++i;
            continue;
        }
        if (s[i] == '"') quoted = !quoted;
        if (!quoted && (s[i] == '#' || s[i] == ';') && (i == 0 || s[i - 1] == ' ' || s[i - 1] == '\t'))
            return trim(s.substr(0, i));
    }
    return s;
}

Line classify(std::string_view raw) {
    const std::string_view s = withoutComment(trim(raw));
    if (s.empty()) return {};
    if (s.front() == '[') {
        if (s.back() != ']') return {Line::Kind::Bad, {}, {}};
        return {Line::Kind::Section, trim(s.substr(1, s.size() - 2)), {}};
    }
    const auto eq = s.find('=');
    if (eq == std::string_view::npos) return {Line::Kind::Bad, {}, {}};
    return {Line::Kind::Entry, trim(s.substr(0, eq)), trim(s.substr(eq + 1))};
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto eol = text.find('\n', start);
        const auto end = eol == std::string_view::npos ? text.size() : eol;
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The [service] keys of the connection limits.
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

}  // namespace

bool validScaleId(std::string_view id) {
    if (id.empty() || id.size() > 64) return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

std::pair<std::string, std::uint16_t> parseListen(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) throw std::invalid_argument("listen must be host:port");
    std::string_view host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.back() != ']') throw std::invalid_argument("listen: unclosed [ in the address");
        host = host.substr(1, host.size() - 2);
    }
    const std::string_view portText = text.substr(colon + 1);
    unsigned port = 0;
    const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (ec != std::errc() || end != portText.data() + portText.size() || port > 65535)
        throw std::invalid_argument("listen: the port must be a number 0..65535");
    return {std::string(host), static_cast<std::uint16_t>(port)};
}

ServiceConfig parseConfig(std::string_view text, const std::string& file) {
    ServiceConfig config;
    std::string section;
    std::set<std::string> seenSections;
    std::set<std::string> seenKeys;
    int number = 0;
    ScaleConfig* scale = nullptr;
    std::vector<orva::mqtt::SettingLine> mqttLines;
    int mqttSection = 0;
    if (text.find('\0') != std::string_view::npos) throw ConfigError(file, 0, "the file holds a NUL byte");
    for (const std::string_view raw : splitLines(text)) {
        ++number;
        const Line line = classify(raw);
        auto fail = [&](const std::string& reason) { throw ConfigError(file, number, reason); };
        if (line.kind == Line::Kind::Blank) continue;
        if (line.kind == Line::Kind::Bad) fail("expected [section] or key = value");
        if (line.kind == Line::Kind::Section) {
            section = std::string(line.name);
            if (!seenSections.insert(section).second) fail("section [" + section + "] appears twice");
            seenKeys.clear();
            scale = nullptr;
            if (section == "mqtt") mqttSection = number;
            if (section == "service" || section == "ports" || section == "mqtt") continue;
            if (!validScaleId(section))
                fail("scale id \"" + section + "\" may hold only letters, digits, '-' and '_' (1 to 64)");
            config.scales.push_back(ScaleConfig{section, {}, {}, {}, {}, {}, number});
            scale = &config.scales.back();
            continue;
        }
        if (section.empty()) fail("key outside a section");
        const std::string key(line.name);
        if (!seenKeys.insert(key).second) fail("\"" + key + "\" appears twice in [" + section + "]");
        const auto value = unquote(line.value);
        if (!value) fail("unbalanced quotes in the value of \"" + key + "\"");
        auto int16 = [&](const std::string& v) -> std::int16_t {
            try {
                return textToInt16(v);
            } catch (const Failure& f) {
                fail(key + ": " + f.description());
            }
            return 0;
        };
        if (section == "service") {
            if (key == "listen") {
                try {
                    std::tie(config.listenHost, config.listenPort) = parseListen(*value);
                } catch (const std::invalid_argument& e) {
                    fail(e.what());
                }
            } else if (key == "token") {
                config.token = *value;
            } else if (key == "allow_origin") {
                std::string_view rest = *value;
                while (!rest.empty()) {
                    const auto comma = rest.find(',');
                    const std::string_view one = trim(rest.substr(0, comma));
                    if (!one.empty()) config.allowOrigins.emplace_back(one);
                    if (comma == std::string_view::npos) break;
                    rest.remove_prefix(comma + 1);
                }
            } else if (key == "allow_host") {
                std::string_view rest = *value;
                while (!rest.empty()) {
                    const auto comma = rest.find(',');
                    const std::string_view one = trim(rest.substr(0, comma));
                    if (!one.empty()) config.limits.allowHosts.emplace_back(one);
                    if (comma == std::string_view::npos) break;
                    rest.remove_prefix(comma + 1);
                }
            } else if (int* limit = connectionLimit(config.limits, key)) {
                int n = 0;
                const auto [end, ec] = std::from_chars(value->data(), value->data() + value->size(), n);
                if (ec != std::errc() || end != value->data() + value->size() || n < 1 || n > 100'000'000)
                    fail(key + " must be a whole number, 1 or more");
                *limit = n;
            } else {
                fail("unknown key \"" + key + "\" in [service] (listen, token, allow_origin, allow_host, the limits)");
            }
        } else if (section == "ports") {
            const std::int16_t n = int16(key);
            if (n < 1) fail("port number " + key + " must be 1 or more");
            if (value->empty()) fail("port " + key + " needs a device path");
            config.ports[n] = *value;
        } else if (section == "mqtt") {
            mqttLines.push_back({key, *value, number});
        } else if (key == "port") {
            if (value->empty()) fail("port needs a device path or tcp://host:port");
            if (value->rfind("tcp://", 0) == 0 && !parseTcpEndpoint(*value)) fail("port: expected tcp://host:port");
            scale->port = *value;
        } else if (key == "ComSetting") {
            scale->ComSetting = *value;
        } else if (key == "ComNumber") {
            const std::int16_t n = int16(*value);
            if (n < 1) fail("ComNumber must be 1 or more");
            scale->ComNumber = *value;
        } else if (key == "DecPoint") {
            scale->DecPoint = int16(*value);
        } else if (key == "MinFixVes") {
            scale->MinFixVes = int16(*value);
        } else {
            fail("unknown key \"" + key + "\" in scale [" + section + "] (port, ComSetting, DecPoint, MinFixVes, ComNumber)");
        }
    }
    for (const ScaleConfig& s : config.scales)
        if (s.port.empty()) throw ConfigError(file, s.line, "scale [" + s.id + "] has no port");
    if (mqttSection > 0) {
        try {
            config.mqtt = orva::mqtt::parseMqttSettings(mqttLines, QSysInfo::machineHostName().toStdString(),
                                                        QCoreApplication::applicationPid(), mqttSection);
        } catch (const orva::mqtt::MqttSettingsError& e) {
            throw ConfigError(file, e.line(), e.what());
        }
    }
    return config;
}

std::string withValue(std::string_view text, std::string_view section, std::string_view key, std::string_view value) {
    const std::vector<std::string_view> lines = splitLines(text);
    std::string current;
    std::optional<std::size_t> lastOfSection;
    std::optional<std::size_t> keyLine;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line line = classify(lines[i]);
        if (line.kind == Line::Kind::Section) current = std::string(line.name);
        if (current != section) continue;
        if (line.kind != Line::Kind::Blank) lastOfSection = i;
        if (line.kind == Line::Kind::Entry && line.name == key) keyLine = i;
    }
    const std::string entry = std::string(key) + " = " + quote(value);
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (keyLine && i == *keyLine) out += entry;
        else out += lines[i];
        out += '\n';
        if (!keyLine && lastOfSection && i == *lastOfSection) out += entry + '\n';
    }
    if (!lastOfSection) out += "\n[" + std::string(section) + "]\n" + entry + "\n";
    return out;
}

ConfigFile::ConfigFile(std::string path) : path_(std::move(path)) {
    QFile file(QString::fromStdString(path_));
    if (!file.open(QIODevice::ReadOnly)) throw ConfigError(path_, 0, "cannot read: " + file.errorString().toStdString());
    const QByteArray bytes = file.readAll();
    text_ = bytes.toStdString();
    config_ = parseConfig(text_, path_);
}

void ConfigFile::save(std::string_view scaleId, const std::vector<std::pair<std::string, std::string>>& values) {
    std::string text = text_;
    for (const auto& [key, value] : values) text = withValue(text, scaleId, key, value);
    QSaveFile file(QString::fromStdString(path_));
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !file.commit())
        throw std::runtime_error("cannot write " + path_ + ": " + file.errorString().toStdString());
    text_ = std::move(text);
}

}  // namespace orva::service
