#pragma once
// The service's configuration file: INI sections of "key = value" lines,
// "#" or ";" starting a comment (at the start of a line, or after a blank
// outside quotes), a value optionally in double quotes.
//
//   [ports]                N = PATH, port numbers every scale may switch to
//   [service], [mqtt], [modbus] ...
//                          a face's own section, and its keys in a scale's
//                          section ("modbus_unit"): each face parses its own
//                          (service/face_registry.h, service/program/faces.cpp):
//                          [service] the HTTP API (service/http/http_settings.h),
//                          [mqtt] the broker (service/mqtt/mqtt_settings.h)
//   [<id>]                 one scale: port, and the control's properties a host
//                          sets (service/scale_config.h)
//
// A file that is not exactly right is refused as a whole, with the line and
// the reason, so the service never starts (or reloads) half-configured:
// besides its syntax, settings no terminal device takes, a port that names
// no device, and two scales on one device are refused. A UTF-8 byte order
// mark at its start is allowed and kept.
//
// The file is the operator's: a property written over the network replaces
// the one line that holds it (or adds one to the scale's section) in the
// file as it is on disk at that moment, so what the operator edited since
// the service read it (a new section, a new token) stays. The file is
// replaced durably (hosts/durable_file.h): a failed save leaves it
// byte for byte as it was.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "service/face_registry.h"
#include "service/scale_config.h"

namespace orva::service {

struct ServiceConfig {
    std::map<std::int16_t, std::string> ports;
    std::vector<ScaleConfig> scales;
    FaceSettingsMap faces;  // each running face's own settings, by its section
};

class ConfigError : public std::runtime_error {
public:
    ConfigError(const std::string& file, int line, const std::string& reason)
        : std::runtime_error(file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + reason),
          line_(line), reason_(reason) {}
    int line() const noexcept { return line_; }
    const std::string& reason() const noexcept { return reason_; }

private:
    int line_;
    std::string reason_;
};

// What tells devices apart: a device path with its symbolic links resolved
// (when it exists), tcp://host:port as written.
std::string deviceIdentity(const std::string& port);

// Letters, digits, '-' and '_', 1..64 characters.
bool validScaleId(std::string_view id);
// "host:port" or "[v6]:port"; throws std::invalid_argument.
std::pair<std::string, std::uint16_t> parseListen(std::string_view text);

// Throws ConfigError naming `fileName`.
ServiceConfig parseConfig(std::string_view text, const std::string& fileName);

// The address to listen on for a configured host: a numeric address as it
// is, "localhost" as 127.0.0.1, a host name resolved. Throws
// std::runtime_error saying why there is none ("myhost" does not resolve ...).
std::string listenAddress(const std::string& host);

// The file's text with one key of one section set to a value (quoted when it
// needs to be), keeping every other line.
std::string withValue(std::string_view text, std::string_view section, std::string_view key, std::string_view value);

class ConfigFile {
public:
    // Far above any fleet's file; keeps a mistaken path (a log, an image) out.
    static constexpr std::size_t kMaxFileSize = 4 * 1024 * 1024;

    // Removes what a save killed half-way left, reads and parses; throws ConfigError.
    explicit ConfigFile(std::string path);
    const ServiceConfig& config() const { return config_; }
    const std::string& path() const { return path_; }
    // Where the file's remarks go (a save merged into a file edited by hand).
    void setLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }

    // Reads the file again for a reload: the new configuration, which this
    // object then holds once `check` (when given) let it pass. Throws
    // ConfigError (its own or check's) and keeps the old one.
    const ServiceConfig& reload(const std::function<void(const ServiceConfig&)>& check = {});

    // Sets the values of one scale's section in the file as it is on disk
    // now and replaces it durably. A file edited since it was read keeps
    // the edits (logged). Throws host::FileWriteError when the file cannot be
    // written, ConfigError when the file on disk is unreadable or the result
    // would be refused at the next start; the file is then untouched.
    void save(std::string_view scaleId, const std::vector<std::pair<std::string, std::string>>& values);
    // Why a save must not happen though it could: a file its operator made
    // read-only (no write permission for anyone) is not rewritten, even by
    // root, which the permissions would not stop. Empty when it may.
    std::string readOnlyReason() const;

private:
    std::string readText() const;

    std::string path_;
    std::string text_;
    ServiceConfig config_;
    std::function<void(const std::string&)> log_;
};

}  // namespace orva::service
