#pragma once
// The command line shared by orva-monitor and orva-panel. Every mistake is
// a usage error found before anything starts: a value that the control or
// its port would refuse later, an option where a value should be, a device
// path where a port number should be.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "simulator/frame_encoding.h"

namespace orva::host {

class OptionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct HostOptions {
    // Property writes, applied as a host's writes after the properties file.
    std::optional<std::int16_t> port;           // ComNumber
    std::optional<std::string> settings;        // ComSetting
    std::optional<std::int16_t> decPoint;       // DecPoint
    std::optional<std::int16_t> minFix;         // MinFixVes

    std::string propertiesPath;                 // --properties FILE: loaded at start, saved at exit
    std::string tracePath;                      // --trace FILE: the wire trace, appended
    std::vector<std::pair<std::int16_t, std::string>> com;  // --com N=PATH
    std::optional<sim::FrameFormat> simulate;   // --simulate[=orva1|orva2]
    bool json = false;
    bool listPorts = false;
    bool help = false;
    bool version = false;
    long cycles = 0;                            // --cycles N: stop after N decodes; 0 runs until interrupted
    std::string snapshotPath;                   // --snapshot FILE: the panel window as a picture at exit
    std::string logPath;                        // --log FILE: one CSV line per settled weight
    bool logAll = false;                        // --log-all: every recognised reading
    bool once = false;                          // --once: wait for one weight, print it, exit
    bool now = false;                           // --now: with --once, any recognised reading
    double timeoutSeconds = 10;                 // --timeout S: with --once
};

enum class Program { Monitor, Panel };

// Throws OptionError with a message fit for the user; its first line says
// what to do.
HostOptions parseHostOptions(const std::vector<std::string>& arguments, Program program = Program::Monitor);

// The --help text: every option of the program, the panel's lamps, the
// JSON lines, the exit status.
std::string usageText(const std::string& program, Program which);

// "orva-monitor 1.0"
std::string versionText(const std::string& program);

}  // namespace orva::host
