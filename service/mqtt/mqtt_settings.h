#pragma once
// The [mqtt] section of the service's configuration: where the broker is,
// who we are to it, and what we publish. Parsing is strict, like the rest of
// the file: an unknown key or a value that does not fit stops the start with
// the line and the reason, so a service never runs half-configured.
//
//   url           mqtt://host[:port] (1883) or mqtts://host[:port] (8883)
//   client_id     default orva-<hostname>-<process id>
//   username      with password; both or neither
//   password
//   ca_file       mqtts: the CA that signed the broker (else the system's)
//   cert_file     mqtts: a client certificate, with key_file
//   key_file
//   topic_prefix  default orva/<hostname>; no '+', '#', no empty level
//   events        on/off (default on): <prefix>/<id>/event
//   remote_writes on/off (default off): accept <prefix>/<id>/set
//   queue_limit   QoS 1 messages held while the broker is away (default 1000)
//   keepalive     seconds between pings when idle (default 10)

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace orva::mqtt {

struct MqttSettings {
    std::string host;
    std::uint16_t port = 1883;
    bool tls = false;
    std::string clientId;
    std::string username;
    std::string password;
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    std::string topicPrefix;
    bool events = true;
    bool remoteWrites = false;
    int queueLimit = 1000;
    int keepaliveSeconds = 10;

    bool operator==(const MqttSettings&) const = default;
};

// One "key = value" of the section, with its line in the file.
struct SettingLine {
    std::string key;
    std::string value;
    int line = 0;
};

class MqttSettingsError : public std::runtime_error {
public:
    MqttSettingsError(int line, const std::string& reason) : std::runtime_error(reason), line_(line) {}
    int line() const noexcept { return line_; }

private:
    int line_;
};

// hostName and processId give the defaults of topic_prefix and client_id.
// sectionLine is reported when a required key is missing. Throws
// MqttSettingsError.
MqttSettings parseMqttSettings(const std::vector<SettingLine>& lines, const std::string& hostName, long long processId,
                               int sectionLine = 0);

// "mqtt://127.0.0.1:1883", without credentials, for log lines.
std::string brokerDescription(const MqttSettings& settings);

}  // namespace orva::mqtt
