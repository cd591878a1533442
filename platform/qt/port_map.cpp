#include "platform/qt/port_map.h"

#include <charconv>

namespace orva::qt {

std::string PortMap::pathOf(std::int16_t number) const {
    if (const auto found = paths_.find(number); found != paths_.end()) return found->second;
    return "/dev/ttyS" + std::to_string(number - 1);
}

std::optional<std::pair<std::int16_t, std::string>> PortMap::parseMapping(std::string_view text) {
    const auto equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0 || equals + 1 == text.size()) return std::nullopt;
    int number = 0;
    const char* first = text.data();
    const char* last = text.data() + equals;
    const auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc{} || end != last || number < 1 || number > 32767) return std::nullopt;
    return std::pair{static_cast<std::int16_t>(number), std::string(text.substr(equals + 1))};
}

}  // namespace orva::qt
