#pragma once
// The serial line settings text, "baud,parity,data,stop" (for example
// "9600,n,8,1"), as every serial port implementation reads it. The port keeps
// the text itself; this is only the check and the parsed values.

#include <cstdint>
#include <optional>
#include <string_view>

namespace orva {

enum class Parity : char { None = 'n', Even = 'e', Odd = 'o', Mark = 'm', Space = 's' };
enum class StopBits : std::uint8_t { One, OneAndHalf, Two };

struct SerialSettings {
    std::uint32_t baudRate = 9600;
    Parity parity = Parity::None;
    std::uint8_t dataBits = 8;  // 4..8
    StopBits stopBits = StopBits::One;

    friend bool operator==(const SerialSettings&, const SerialSettings&) = default;
};

// Baud rate: decimal digits, 1..4000000. Parity: one of n, e, o, m, s in
// either case. Data bits: 4 to 8. Stop bits: 1, 1.5 or 2. No blanks.
std::optional<SerialSettings> parseSerialSettings(std::string_view text);

}  // namespace orva
