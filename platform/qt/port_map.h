#pragma once
// Which device a port number names. Hosts map numbers explicitly
// ("--com 3=/dev/ttyUSB0"); an unmapped number N names /dev/ttyS<N-1>, the
// way the first serial port of a PC is port 1.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace orva::qt {

class PortMap {
public:
    void map(std::int16_t number, std::string path) { paths_[number] = std::move(path); }
    std::string pathOf(std::int16_t number) const;

    // "N=PATH" with N in 1..32767 and a non-empty path; empty when malformed.
    static std::optional<std::pair<std::int16_t, std::string>> parseMapping(std::string_view text);

private:
    std::map<std::int16_t, std::string> paths_;
};

}  // namespace orva::qt
