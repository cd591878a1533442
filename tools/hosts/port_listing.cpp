#include "tools/hosts/port_listing.h"

#include <QSerialPortInfo>
#include <charconv>
#include <string>

namespace orva::host {

void listSerialPorts(std::FILE* out) {
    const auto ports = QSerialPortInfo::availablePorts();
    if (ports.isEmpty())
        std::fprintf(out, "No serial devices found. Use --simulate, or --com N=PATH for a pseudo-terminal.\n");
    for (const auto& info : ports) {
        const std::string path = info.systemLocation().toStdString();
        std::string how = "use --com N=" + path;
        // /dev/ttySn is port n+1 without any mapping.
        constexpr std::string_view kPrefix = "/dev/ttyS";
        int n = -1;
        if (path.rfind(kPrefix, 0) == 0) {
            const char* first = path.data() + kPrefix.size();
            const char* last = path.data() + path.size();
            const auto [end, error] = std::from_chars(first, last, n);
            if (error == std::errc{} && end == last && n >= 0 && n < 32767) how = "port " + std::to_string(n + 1);
        }
        std::fprintf(out, "%-20s %-28s %s\n", path.c_str(), info.description().toStdString().c_str(), how.c_str());
    }
}

}  // namespace orva::host
