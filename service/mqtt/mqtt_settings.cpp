#include "service/mqtt/mqtt_settings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>

namespace orva::mqtt {
namespace {

bool parseSwitch(const SettingLine& l) {
    std::string v = l.value;
    std::transform(v.begin(), v.end(), v.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (v == "on" || v == "true" || v == "yes" || v == "1") return true;
    if (v == "off" || v == "false" || v == "no" || v == "0") return false;
    throw MqttSettingsError(l.line, l.key + ": expected on or off, not \"" + l.value + "\"");
}

int parseInt(const SettingLine& l, int lo, int hi) {
    int value = 0;
    const char* end = l.value.data() + l.value.size();
    auto [ptr, ec] = std::from_chars(l.value.data(), end, value);
    if (ec != std::errc() || ptr != end || l.value.empty() || value < lo || value > hi)
        throw MqttSettingsError(l.line, l.key + ": expected a whole number from " + std::to_string(lo) + " to " +
                                            std::to_string(hi) + ", not \"" + l.value + "\"");
    return value;
}

void parseUrl(const SettingLine& l, MqttSettings& s) {
    std::string rest;
    if (l.value.rfind("mqtt://", 0) == 0) {
        s.tls = false;
        s.port = 1883;
        rest = l.value.substr(7);
    } else if (l.value.rfind("mqtts://", 0) == 0) {
        s.tls = true;
        s.port = 8883;
        rest = l.value.substr(8);
    } else {
        throw MqttSettingsError(l.line, "url: expected mqtt://host:port or mqtts://host:port, not \"" + l.value + "\"");
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find_first_of("/@?# ") != std::string::npos)
        throw MqttSettingsError(l.line, "url: only host and port belong in it (credentials go in username and password)");
    std::string portText;
    if (!rest.empty() && rest.front() == '[') {  // [IPv6]:port
        auto close = rest.find(']');
        if (close == std::string::npos) throw MqttSettingsError(l.line, "url: unclosed '[' in the host");
        s.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') throw MqttSettingsError(l.line, "url: expected ':' after ']'");
            portText = rest.substr(close + 2);
            if (portText.empty()) throw MqttSettingsError(l.line, "url: empty port");
        }
    } else {
        auto colon = rest.find(':');
        s.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            portText = rest.substr(colon + 1);
            if (portText.empty()) throw MqttSettingsError(l.line, "url: empty port");
        }
    }
    if (s.host.empty()) throw MqttSettingsError(l.line, "url: no host");
    if (!portText.empty()) s.port = static_cast<std::uint16_t>(parseInt({"url port", portText, l.line}, 1, 65535));
}

void checkPrefix(const SettingLine& l, const std::string& prefix) {
    if (prefix.empty()) throw MqttSettingsError(l.line, "topic_prefix: empty");
    if (prefix.find_first_of("+#") != std::string::npos)
        throw MqttSettingsError(l.line, "topic_prefix: '+' and '#' are subscription wildcards, not topic characters");
    if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos)
        throw MqttSettingsError(l.line, "topic_prefix: no level may be empty (no leading, trailing or double '/')");
    if (prefix.front() == '$') throw MqttSettingsError(l.line, "topic_prefix: topics starting with '$' belong to the broker");
    for (unsigned char c : prefix)
        if (c < 0x20 || c == 0x7f) throw MqttSettingsError(l.line, "topic_prefix: control characters are not allowed");
}

}  // namespace

MqttSettings parseMqttSettings(const std::vector<SettingLine>& lines, const std::string& hostName, long long processId,
                               int sectionLine) {
    MqttSettings s;
    s.topicPrefix = "orva/" + (hostName.empty() ? std::string("localhost") : hostName);
    s.clientId = "orva-" + (hostName.empty() ? std::string("localhost") : hostName) + "-" + std::to_string(processId);
    std::set<std::string> seen;
    bool haveUrl = false;
    int passwordLine = sectionLine;
    int certLine = sectionLine;
    for (const SettingLine& l : lines) {
        if (!seen.insert(l.key).second) throw MqttSettingsError(l.line, l.key + ": given twice");
        if (l.key == "url") {
            parseUrl(l, s);
            haveUrl = true;
        } else if (l.key == "client_id") {
            if (l.value.empty() || l.value.size() > 128) throw MqttSettingsError(l.line, "client_id: 1 to 128 characters");
            s.clientId = l.value;
        } else if (l.key == "username") {
            s.username = l.value;
        } else if (l.key == "password") {
            s.password = l.value;
            passwordLine = l.line;
        } else if (l.key == "ca_file") {
            s.caFile = l.value;
            certLine = l.line;
        } else if (l.key == "cert_file") {
            s.certFile = l.value;
            certLine = l.line;
        } else if (l.key == "key_file") {
            s.keyFile = l.value;
            certLine = l.line;
        } else if (l.key == "topic_prefix") {
            checkPrefix(l, l.value);
            s.topicPrefix = l.value;
        } else if (l.key == "events") {
            s.events = parseSwitch(l);
        } else if (l.key == "remote_writes") {
            s.remoteWrites = parseSwitch(l);
        } else if (l.key == "queue_limit") {
            s.queueLimit = parseInt(l, 1, 1000000);
        } else if (l.key == "keepalive") {
            s.keepaliveSeconds = parseInt(l, 5, 3600);
        } else {
            throw MqttSettingsError(l.line, "unknown key \"" + l.key + "\" in [mqtt]");
        }
    }
    if (!haveUrl) throw MqttSettingsError(sectionLine, "[mqtt] needs url = mqtt://host:port");
    if (!s.password.empty() && s.username.empty()) throw MqttSettingsError(passwordLine, "password: given without username");
    if (s.certFile.empty() != s.keyFile.empty()) throw MqttSettingsError(certLine, "cert_file and key_file go together");
    if (!s.tls && (!s.caFile.empty() || !s.certFile.empty()))
        throw MqttSettingsError(certLine != sectionLine ? certLine : sectionLine,
                                "ca_file, cert_file and key_file need an mqtts:// url");
    return s;
}

std::string brokerDescription(const MqttSettings& s) {
    std::string host = s.host.find(':') != std::string::npos ? "[" + s.host + "]" : s.host;
    return std::string(s.tls ? "mqtts://" : "mqtt://") + host + ":" + std::to_string(s.port);
}

}  // namespace orva::mqtt
