#pragma once
// The faces of the service (HTTP, MQTT, Modbus ...) and what the core hands
// each: its own section of the configuration file and its own keys in every
// scale's section, to parse as it likes; then, once the scales run, the hub
// to serve them from and the fleet's write path. The core knows no face's
// settings; a face knows the core only through ScaleHub and WritePath.
//
// A face is a folder that owns its settings, its parser, its server and its
// tests, and is registered by one line in service/program/faces.cpp.
//
// A face's life: parsed with the whole file (a refusal stops the start or
// the reload); started before any serial port is opened (what it must read
// or reach first, so that a face that cannot work stops the start with
// nothing opened); served once the scales run; told of every reload, to
// which it answers for itself (what changed at once, what takes a restart).

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class QJsonObject;
class QString;

namespace orva::service {

class ScaleHub;
class WritePath;

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
    // The most file descriptors the face holds at once (its clients, its
    // listening socket, its connection to a broker, its files): the HTTP
    // face's limits are fitted into what the process may open beside them.
    virtual long descriptors() const { return 0; }
};

// A face's refusal of what the file says; line 0 names the file alone.
class FaceSettingsError : public std::runtime_error {
public:
    FaceSettingsError(int line, const std::string& reason) : std::runtime_error(reason), line_(line) {}
    int line() const noexcept { return line_; }

private:
    int line_;
};

struct FaceStart {
    std::string configPath;  // the configuration file, empty for none: a face keeps its own files beside it
    std::function<void(const std::string&)> log;
};

struct FaceContext {
    ScaleHub& hub;
    const WritePath& write;  // property writes, saved to the file as the HTTP API saves them
    std::function<void(const std::string&)> log;
};

// A started face.
class Face {
public:
    virtual ~Face() = default;
    // Once the scales run: serves them (listens, connects ...). Throws
    // std::runtime_error saying why it cannot.
    virtual void serve(const FaceContext& context) = 0;
    // A reload's settings (null: the section is gone), already checked with
    // the whole file. Returns what to log after "reload: ", naming the face:
    // what changed at once, what takes a restart; empty for nothing.
    virtual std::string reload(const FaceSettings* next) = 0;
    // Its lines of /metrics, in Prometheus text format.
    virtual std::string metrics() const { return {}; }
    // What it adds to a scale's state in the HTTP API (its address for the
    // scale: "modbus_unit"); nothing by default.
    virtual void describeScale(const QString& id, QJsonObject& state) const {
        (void)id;
        (void)state;
    }
};

struct FaceDefinition {
    std::string section;         // the name of its section: "modbus"
    std::string scaleKeyPrefix;  // its keys in a scale's section begin with this: "modbus_"
    // Null when the face does not run (no section). Throws FaceSettingsError.
    std::function<std::shared_ptr<const FaceSettings>(const FaceInput&)> parse;
    // Starts it before any serial port is opened; throws std::runtime_error
    // saying why it cannot, in the face's own words. Null for the face the
    // program serves itself (HTTP: it listens before anything else).
    std::function<std::unique_ptr<Face>(const FaceSettings&, const FaceStart&)> start;
};

// Every face the service is built with (service/program/faces.cpp).
const std::vector<FaceDefinition>& faceDefinitions();
const FaceDefinition* faceOfSection(const std::string& section);
const FaceDefinition* faceOfScaleKey(const std::string& key);

// Each face's settings by its section's name; a face that does not run has none.
using FaceSettingsMap = std::map<std::string, std::shared_ptr<const FaceSettings>>;
// What the faces of the map hold at most, together.
long faceDescriptors(const FaceSettingsMap& faces);

// The running faces, in the order of their registration.
class FaceSet {
public:
    // Starts every face that has settings, before any serial port is
    // opened; throws std::runtime_error saying why one cannot start.
    FaceSet(const FaceSettingsMap& settings, const FaceStart& start);
    ~FaceSet();
    // Once the scales run: each face serves them. Throws std::runtime_error
    // naming the face that cannot.
    void serve(const FaceContext& context);
    // A reload: each face is told its new settings and answers for itself.
    void reload(const FaceSettingsMap& settings);
    std::string metrics() const;
    void describeScale(const QString& id, QJsonObject& state) const;

private:
    std::vector<std::pair<std::string, std::unique_ptr<Face>>> running_;
    std::function<void(const std::string&)> log_;
};

}  // namespace orva::service
