#include "hosts/qt/port_listing.h"

#include <QSerialPortInfo>
#include <charconv>
#include <string>

#include "hosts/qt/json_lines.h"
#include "hosts/qt/port_state.h"

namespace orva::host {
namespace {

// /dev/ttySn is port n+1 without any mapping; 0 for any other device.
int defaultPortNumber(const std::string& path) {
    constexpr std::string_view kPrefix = "/dev/ttyS";
    if (path.rfind(kPrefix, 0) != 0) return 0;
    int n = -1;
    const char* first = path.data() + kPrefix.size();
    const char* last = path.data() + path.size();
    const auto [end, error] = std::from_chars(first, last, n);
    return error == std::errc{} && end == last && n >= 0 && n < 32767 ? n + 1 : 0;
}

}  // namespace

bool listSerialPorts(std::FILE* out, bool json) {
    const auto ports = QSerialPortInfo::availablePorts();
    if (ports.isEmpty() && !json)
        std::fprintf(out, "No serial devices found. Use --simulate, or --com N=PATH for a pseudo-terminal.\n");
    for (const auto& info : ports) {
        const std::string path = info.systemLocation().toStdString();
        const std::string description = info.description().toStdString();
        const int number = defaultPortNumber(path);
        const auto problem = accessProblem(path);
        if (json) {
            std::string line = "{\"path\":" + jsonString(path) + ",\"description\":" + jsonString(description) +
                               ",\"port\":" + (number > 0 ? std::to_string(number) : "null") +
                               ",\"usable\":" + (problem ? "false" : "true") +
                               ",\"reason\":" + (problem ? jsonString(*problem) : "null") + "}\n";
            std::fputs(line.c_str(), out);
            continue;
        }
        const std::string how = number > 0 ? "port " + std::to_string(number) : "use --com N=" + path;
        const std::string usable = problem ? "cannot open: " + *problem : "can open";
        std::fprintf(out, "%-16s %-24s %-22s %s\n", path.c_str(), description.c_str(), how.c_str(), usable.c_str());
    }
    return std::fflush(out) == 0 && !std::ferror(out);
}

}  // namespace orva::host
