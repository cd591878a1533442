#include "service/service_config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>

#include "control/value_conversion.h"
#include "platform/failure.h"
#include "hosts/durable_file.h"
#include "hosts/file_descriptor.h"
#include "hosts/keyed_text.h"
#include "platform/serial_settings.h"
#include "service/fd_serial_port.h"
#include "service/scale_config.h"

namespace orva::service {
namespace {

using host::quoteWhenNeeded;
std::string_view trim(std::string_view s) { return host::trimBlanks(s); }

// A value as written: bare, or in double quotes with the keyed files'
// escapes; a quoted value that does not read says why.
std::string unquote(std::string_view v, const std::function<void(const std::string&)>& fail) {
    if (v.empty() || v.front() != '"') return std::string(v);
    try {
        return host::unquoteText(v);
    } catch (const std::invalid_argument& e) {
        fail(e.what());
        return {};
    }
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

// Some editors start a UTF-8 file with a byte order mark: not part of the
// first line's text, and kept by a save.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view withoutByteOrderMark(std::string_view text) {
    return text.substr(0, kByteOrderMark.size()) == kByteOrderMark ? text.substr(kByteOrderMark.size()) : text;
}

// Why a port value cannot reach a terminal, empty when it can: a device
// path is absolute (a bare "COM3" or "ttyUSB0" names nothing here).
std::string portRefusal(const std::string& value) {
    if (value.rfind("tcp://", 0) == 0)
        return parseTcpEndpoint(value) ? std::string() : "\"" + value + "\" is not tcp://host:port";
    if (value.front() != '/')
        return "\"" + value + "\" names no device: give a device path such as /dev/ttyUSB0, or tcp://host:port";
    return {};
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

}  // namespace

std::string deviceIdentity(const std::string& port) {
    if (port.rfind("tcp://", 0) == 0) return port;
    char resolved[PATH_MAX];
    return ::realpath(port.c_str(), resolved) != nullptr ? std::string(resolved) : port;
}

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
    std::map<std::string, FaceInput> faceInputs;  // by the face's section
    std::map<std::pair<std::string, std::string>, std::vector<FaceLine>> faceScaleKeys;  // by face and scale
    if (text.find('\0') != std::string_view::npos) throw ConfigError(file, 0, "the file holds a NUL byte");
    std::map<int, std::string> comSettingLines;  // line -> text, checked once the scale's port is known
    for (const std::string_view raw : splitLines(withoutByteOrderMark(text))) {
        ++number;
        const Line line = classify(raw);
        auto fail = [&](const std::string& reason) { throw ConfigError(file, number, reason); };
        // Values reach the log and the answers: no byte there may steer a terminal.
        if (std::any_of(raw.begin(), raw.end(), [](char c) {
                const auto b = static_cast<unsigned char>(c);
                return (b < 0x20 && c != '\t' && c != '\r') || b == 0x7f;
            }))
            fail("a control character in the line");
        if (line.kind == Line::Kind::Blank) continue;
        if (line.kind == Line::Kind::Bad) fail("expected [section] or key = value");
        if (line.kind == Line::Kind::Section) {
            section = std::string(line.name);
            if (!seenSections.insert(section).second) fail("section [" + section + "] appears twice");
            seenKeys.clear();
            scale = nullptr;
            if (section == "ports") continue;
            if (const FaceDefinition* face = faceOfSection(section)) {
                faceInputs[face->section].sectionLine = number;
                continue;
            }
            if (!validScaleId(section))
                fail("scale id \"" + section + "\" may hold only letters, digits, '-' and '_' (1 to 64)");
            config.scales.push_back(ScaleConfig{section, {}, {}, {}, {}, {}, number});
            scale = &config.scales.back();
            continue;
        }
        if (section.empty()) fail("key outside a section");
        const std::string key(line.name);
        if (!seenKeys.insert(key).second) fail("\"" + key + "\" appears twice in [" + section + "]");
        const std::optional<std::string> value = unquote(line.value, [&](const std::string& why) {
            fail("the quoted value of \"" + key + "\" does not read (unbalanced quotes or an unknown escape): " + why);
        });
        auto int16 = [&](const std::string& v) -> std::int16_t {
            try {
                return textToInt16(v);
            } catch (const Failure& f) {
                fail(key + ": " + f.description());
            }
            return 0;
        };
        if (section == "ports") {
            const std::int16_t n = int16(key);
            if (n < 1) fail("port number " + key + " must be 1 or more");
            if (value->empty()) fail("port " + key + " needs a device path");
            if (const std::string why = portRefusal(*value); !why.empty()) fail("port " + key + ": " + why);
            config.ports[n] = *value;
        } else if (const FaceDefinition* face = faceOfSection(section)) {
            faceInputs[face->section].section.push_back({key, *value, number});
        } else if (const FaceDefinition* face = faceOfScaleKey(key)) {
            faceScaleKeys[{face->section, scale->id}].push_back({key, *value, number});
        } else if (key == "port") {
            if (value->empty()) fail("port needs a device path or tcp://host:port");
            if (value->rfind("tcp://", 0) == 0 && !parseTcpEndpoint(*value)) fail("port: expected tcp://host:port");
            if (const std::string why = portRefusal(*value); !why.empty()) fail("port: " + why);
            scale->port = *value;
        } else if (const ScaleSetting* setting = findScaleSetting(key)) {
            if (setting->integer != nullptr) {
                (*scale).*setting->integer = int16(*value);
            } else {
                switch (setting->property->form) {
                case TextForm::LineSettings:
                    // Refused here rather than replaced at the first poll by the
                    // settings the port had, while the file says otherwise.
                    if (!parseSerialSettings(*value))
                        fail(key + " \"" + *value +
                             "\" is not line settings: baud,parity,data bits,stop bits such as \"9600,n,8,1\" (parity n, "
                             "e, o, m or s; 4 to 8 data bits; 1, 1.5 or 2 stop bits)");
                    comSettingLines[number] = *value;
                    break;
                case TextForm::PortNumber:
                    if (int16(*value) < 1) fail(key + " must be 1 or more");
                    break;
                case TextForm::Any:
                    break;
                }
                (*scale).*setting->text = *value;
            }
        } else {
            std::string faceKeys;
            for (const FaceDefinition& face : faceDefinitions())
                if (!face.scaleKeyPrefix.empty()) faceKeys += ", " + face.scaleKeyPrefix + "...";
            fail("unknown key \"" + key + "\" in scale [" + section + "] (port, " + scaleSettingNames() + faceKeys + ")");
        }
    }
    // Each face parses its own section and keys (the service's own
    // address and tokens too: the HTTP face's [service]).
    for (const FaceDefinition& face : faceDefinitions()) {
        FaceInput& input = faceInputs[face.section];
        for (const ScaleConfig& s : config.scales) {
            const auto keys = faceScaleKeys.find({face.section, s.id});
            input.scales.push_back({s.id, s.line, keys != faceScaleKeys.end() ? keys->second : std::vector<FaceLine>{}});
        }
        try {
            if (auto settings = face.parse(input)) config.faces[face.section] = std::move(settings);
        } catch (const FaceSettingsError& e) {
            throw ConfigError(file, e.line(), e.what());
        }
    }
    std::map<std::string, const ScaleConfig*> onDevice;
    for (const ScaleConfig& s : config.scales) {
        if (s.port.empty()) throw ConfigError(file, s.line, "scale [" + s.id + "] has no port");
        // One terminal answers one poller: a second scale on its device
        // would take replies meant for the first.
        const auto [other, fresh] = onDevice.emplace(deviceIdentity(s.port), &s);
        if (!fresh)
            throw ConfigError(file, s.line, "scales [" + other->second->id + "] and [" + s.id + "] are both on " + s.port +
                                                ": a terminal answers one scale");
        if (s.ComSetting && !parseTcpEndpoint(s.port)) {
            const std::string why = terminalSettingsRefusal(*parseSerialSettings(*s.ComSetting));
            if (!why.empty()) {
                int line = s.line;
                for (const auto& [n, text] : comSettingLines)
                    if (n > s.line && text == *s.ComSetting) {
                        line = n;
                        break;
                    }
                throw ConfigError(file, line, std::string(propertyOf(&PropertyRecord::ComSetting).name) + " \"" +
                                                  *s.ComSetting + "\" cannot be used: " + why);
            }
        }
    }
    return config;
}

std::string listenAddress(const std::string& host) {
    if (host == "localhost") return "127.0.0.1";
    unsigned char buffer[sizeof(in6_addr)];
    if (::inet_pton(AF_INET, host.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, host.c_str(), buffer) == 1) return host;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (error != 0 || found == nullptr)
        throw std::runtime_error("\"" + host + "\" is not an address and does not resolve as a host name (" +
                                 (error != 0 ? ::gai_strerror(error) : "no address") + ")");
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
    char text[INET6_ADDRSTRLEN] = {};
    const void* address = found->ai_family == AF_INET6
                              ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(found->ai_addr)->sin6_addr)
                              : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr);
    if (::inet_ntop(found->ai_family, address, text, sizeof text) == nullptr)
        throw std::runtime_error("\"" + host + "\" resolves to an address that cannot be used");
    return text;
}

std::string withValue(std::string_view whole, std::string_view section, std::string_view key, std::string_view value) {
    const std::string_view text = withoutByteOrderMark(whole);
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
    const std::string entry = std::string(key) + " = " + quoteWhenNeeded(value);
    std::string out(whole.substr(0, whole.size() - text.size()));
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
    // A save killed between writing and renaming leaves its temporary file.
    host::removeStaleTemporaries(path_);
    text_ = readText();
    config_ = parseConfig(text_, path_);
}

std::string ConfigFile::readText() const {
    // Never waits: a FIFO put in the file's place opens at once and is refused.
    const host::FileDescriptor file(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    const int fd = file.get();
    if (fd < 0) throw ConfigError(path_, 0, std::string("cannot read: ") + std::strerror(errno));
    struct stat st{};
    if (::fstat(fd, &st) != 0) throw ConfigError(path_, 0, std::string("cannot read: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw ConfigError(path_, 0, "is not a regular file");
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw ConfigError(path_, 0, std::string("cannot read: ") + std::strerror(errno));
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxFileSize)
            throw ConfigError(path_, 0, "is larger than a configuration may be (" + std::to_string(kMaxFileSize) + " bytes)");
    }
    return text;
}

const ServiceConfig& ConfigFile::reload(const std::function<void(const ServiceConfig&)>& check) {
    std::string text = readText();
    ServiceConfig config = parseConfig(text, path_);
    if (check) check(config);
    text_ = std::move(text);
    config_ = std::move(config);
    return config_;
}

std::string ConfigFile::readOnlyReason() const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0 || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0) return {};
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return path_ + " is read-only (mode " + mode + "): writes are refused while it is; make it writable (chmod u+w) to allow them";
}

void ConfigFile::save(std::string_view scaleId, const std::vector<std::pair<std::string, std::string>>& values) {
    if (const std::string why = readOnlyReason(); !why.empty()) throw ConfigError(path_, 0, "not saved: " + why);
    // The file as it is now: the operator may have edited it since it was read.
    const std::string current = readText();
    std::string text = current;
    for (const auto& [key, value] : values) text = withValue(text, scaleId, key, value);
    // Never write what the next start would refuse (the operator's edit may
    // have removed the scale's section, or be half done).
    ServiceConfig config;
    try {
        config = parseConfig(text, path_);
    } catch (const ConfigError& e) {
        throw ConfigError(path_, e.line(), "not saved: the file would be refused at the next start: " + e.reason());
    }
    const std::string remark = host::replaceFileDurably(path_, text);
    // In the file now: the write stands, whatever the folder's flush said.
    if (!remark.empty() && log_) log_(remark);
    if (current != text_ && log_)
        log_(path_ + " was changed since it was read: the write changed only the written keys and kept the other edits");
    text_ = std::move(text);
    config_ = std::move(config);
}

}  // namespace orva::service
