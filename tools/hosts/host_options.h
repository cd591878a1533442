#pragma once
// The command line shared by orva-monitor and orva-panel.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tools/sim/frame_encoding.h"

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
    long cycles = 0;                            // --cycles N: stop after N decodes; 0 runs until interrupted
    std::string snapshotPath;                   // --snapshot FILE: the panel window as a picture at exit
};

// Throws OptionError with a message fit for the user.
HostOptions parseHostOptions(const std::vector<std::string>& arguments);

// The --help text; `window` adds what only the panel window does.
std::string usageText(const std::string& program, bool window);

}  // namespace orva::host
