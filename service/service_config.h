#pragma once
// The service's configuration file: INI sections of "key = value" lines,
// "#" or ";" starting a comment (at the start of a line, or after a blank
// outside quotes), a value optionally in double quotes.
//
//   [service]              listen, token, allow_origin (comma-separated), the
//                          connection limits (service/http/connection_limits.h)
//   [ports]                N = PATH, port numbers every scale may switch to
//   [mqtt]                 the broker to publish to (service/mqtt/mqtt_settings.h)
//   [<id>]                 one scale: port, ComSetting, DecPoint, MinFixVes, ComNumber
//
// A file that is not exactly right is refused as a whole, with the line and
// the reason, so the service never starts half-configured. The file keeps
// its lines: a property written over the network replaces the one line that
// holds it (or adds one to the scale's section), and the file is replaced
// atomically, comments and order untouched.

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "service/http/connection_limits.h"
#include "service/mqtt/mqtt_settings.h"

namespace orva::service {

struct ScaleConfig {
    std::string id;
    std::string port;  // device path or tcp://host:port
    std::optional<std::int16_t> MinFixVes, DecPoint;
    std::optional<std::string> ComSetting, ComNumber;
    int line = 0;  // of the section header
};

struct ServiceConfig {
    std::string listenHost = "127.0.0.1";
    std::uint16_t listenPort = 8650;
    std::string token;                       // empty: writes are refused
    std::vector<std::string> allowOrigins;   // CORS
    std::map<std::int16_t, std::string> ports;
    std::vector<ScaleConfig> scales;
    std::optional<orva::mqtt::MqttSettings> mqtt;  // [mqtt]: publish every scale to a broker
    ConnectionLimits limits;                        // [service]: what one client may cost
};

class ConfigError : public std::runtime_error {
public:
    ConfigError(const std::string& file, int line, const std::string& reason)
        : std::runtime_error(file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + reason),
          line_(line) {}
    int line() const noexcept { return line_; }

private:
    int line_;
};

// Letters, digits, '-' and '_', 1..64 characters.
bool validScaleId(std::string_view id);
// "host:port" or "[v6]:port"; throws std::invalid_argument.
std::pair<std::string, std::uint16_t> parseListen(std::string_view text);

// Throws ConfigError naming `fileName`.
ServiceConfig parseConfig(std::string_view text, const std::string& fileName);

// The file's text with one key of one section set to a value (quoted when it
// needs to be), keeping every other line.
std::string withValue(std::string_view text, std::string_view section, std::string_view key, std::string_view value);

class ConfigFile {
public:
    // Reads and parses; throws ConfigError.
    explicit ConfigFile(std::string path);
    const ServiceConfig& config() const { return config_; }
    const std::string& path() const { return path_; }
    // Sets the values of one scale's section and replaces the file
    // atomically. Throws std::runtime_error when the file cannot be written.
    void save(std::string_view scaleId, const std::vector<std::pair<std::string, std::string>>& values);

private:
    std::string path_;
    std::string text_;
    ServiceConfig config_;
};

}  // namespace orva::service
