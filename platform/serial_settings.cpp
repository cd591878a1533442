#include "platform/serial_settings.h"

#include <array>
#include <charconv>

namespace orva {
namespace {

constexpr std::uint32_t kMaxBaudRate = 4'000'000;

std::optional<std::uint32_t> parseDecimal(std::string_view field) {
    if (field.empty()) return std::nullopt;
    std::uint32_t value = 0;
    auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (error != std::errc{} || end != field.data() + field.size()) return std::nullopt;
    return value;
}

std::optional<Parity> parseParity(std::string_view field) {
    if (field.size() != 1) return std::nullopt;
    switch (field[0]) {
        case 'n': case 'N': return Parity::None;
        case 'e': case 'E': return Parity::Even;
        case 'o': case 'O': return Parity::Odd;
        case 'm': case 'M': return Parity::Mark;
        case 's': case 'S': return Parity::Space;
        default: return std::nullopt;
    }
}

std::optional<StopBits> parseStopBits(std::string_view field) {
    if (field == "1") return StopBits::One;
    if (field == "1.5") return StopBits::OneAndHalf;
    if (field == "2") return StopBits::Two;
    return std::nullopt;
}

// Splits "a,b,c,d" into exactly four fields.
std::optional<std::array<std::string_view, 4>> splitFields(std::string_view text) {
    std::array<std::string_view, 4> fields;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const auto comma = text.find(',');
        const bool last = i + 1 == fields.size();
        if (last != (comma == std::string_view::npos)) return std::nullopt;
        fields[i] = text.substr(0, comma);
        if (!last) text.remove_prefix(comma + 1);
    }
    return fields;
}

}  // namespace

std::optional<SerialSettings> parseSerialSettings(std::string_view text) {
    const auto fields = splitFields(text);
    if (!fields) return std::nullopt;
    const auto baud = parseDecimal((*fields)[0]);
    const auto parity = parseParity((*fields)[1]);
    const auto dataBits = parseDecimal((*fields)[2]);
    const auto stopBits = parseStopBits((*fields)[3]);
    if (!baud || *baud == 0 || *baud > kMaxBaudRate) return std::nullopt;
    if (!parity || !stopBits) return std::nullopt;
    if (!dataBits || *dataBits < 4 || *dataBits > 8) return std::nullopt;
    return SerialSettings{*baud, *parity, static_cast<std::uint8_t>(*dataBits), *stopBits};
}

}  // namespace orva
