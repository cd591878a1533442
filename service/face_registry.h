#pragma once
// The faces of the service (Modbus ...) and what the core hands each: its
// own section of the configuration file and its own keys in every scale's
// section, to parse as it likes; then, once the scales run, the hub to
// serve them from. The core knows no face's settings; a face knows the core
// only through ScaleHub.
//
// A face is a folder that owns its settings, its parser, its server and its
// tests, and is registered by one line in service/faces.cpp.

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace orva::service {

class ScaleHub;

// One "key = value" line of the file (the value unquoted), with its line.
struct FaceLine {
    std::string key;
    std::string value;
    int line = 0;
};

// What the file says to one face.
struct FaceInput {
    int sectionLine = 0;  // of its [section]; 0 when the file has none
    std::vector<FaceLine> section;
    struct Scale {
        std::string id;
        int sectionLine = 0;
        std::vector<FaceLine> keys;  // the face's keys in the scale's section
    };
    std::vector<Scale> scales;  // every scale of the file, in the file's order
};

// A face's settings as its parser made them: a type of the face's own.
class FaceSettings {
public:
    virtual ~FaceSettings() = default;
};

// A face's refusal of what the file says; line 0 names the file alone.
class FaceSettingsError : public std::runtime_error {
public:
    FaceSettingsError(int line, const std::string& reason) : std::runtime_error(reason), line_(line) {}
    int line() const noexcept { return line_; }

private:
    int line_;
};

// A running face.
class Face {
public:
    virtual ~Face() = default;
    // A reload's settings (null: the section is gone), already checked with
    // the whole file. Returns what to log: what changed at once, what takes a
    // restart; empty for nothing.
    virtual std::string reload(const FaceSettings* next) = 0;
    // Its lines of /metrics, in Prometheus text format.
    virtual std::string metrics() const { return {}; }
};

struct FaceContext {
    ScaleHub& hub;
    std::function<void(const std::string&)> log;
};

struct FaceDefinition {
    std::string section;         // the name of its section: "modbus"
    std::string scaleKeyPrefix;  // its keys in a scale's section begin with this: "modbus_"
    // Null when the face does not run (no section). Throws FaceSettingsError.
    std::function<std::shared_ptr<const FaceSettings>(const FaceInput&)> parse;
    // Starts it (listens ...); throws std::runtime_error saying why it cannot.
    std::function<std::unique_ptr<Face>(const FaceSettings&, FaceContext)> start;
};

// Every face the service is built with (service/faces.cpp).
const std::vector<FaceDefinition>& faceDefinitions();
const FaceDefinition* faceOfSection(const std::string& section);
const FaceDefinition* faceOfScaleKey(const std::string& key);

// Each face's settings by its section's name; a face that does not run has none.
using FaceSettingsMap = std::map<std::string, std::shared_ptr<const FaceSettings>>;

// The running faces.
class FaceSet {
public:
    // Starts every face that has settings; throws std::runtime_error naming
    // the face that cannot start.
    FaceSet(const FaceSettingsMap& settings, ScaleHub& hub, std::function<void(const std::string&)> log);
    ~FaceSet();
    // A reload: each face is told its new settings and answers for itself.
    void reload(const FaceSettingsMap& settings);
    std::string metrics() const;

private:
    std::map<std::string, std::unique_ptr<Face>> running_;
    std::function<void(const std::string&)> log_;
};

}  // namespace orva::service
