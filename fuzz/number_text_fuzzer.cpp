// The conversions between weights and text on their own, where a fuzzer
// reaches every corner quickly: the lenient read of a weight field, the
// whole-text read of a port number or loaded value, the display and property
// texts, the reply decoder and the settings text check.
//
// Input: the first eight bytes as a weight (also the DecPoint of the decode),
// the whole input as text.

#include <cmath>
#include <cstdint>
#include <string>

#include "acquisition/frame_decoding.h"
#include "acquisition/number_text.h"
#include "control/value_conversion.h"
#include "fuzz/fuzz_support.h"
#include "platform/failure.h"
#include "platform/serial_settings.h"

namespace {

using namespace orva;
using namespace orva::fuzz;

void checkReadingText(const std::string& text) {
    const double lenient = parseLenientNumber(text);
    require(!std::isnan(lenient), "the lenient read gives a number", shown(text));
    if (const auto whole = parseWholeNumber(text)) {
        require(!std::isnan(*whole), "a whole number is a number", shown(text));
        // A text that is a number as a whole reads the same either way.
        require(*whole == lenient || (std::isnan(*whole) && std::isnan(lenient)),
                "the whole and the lenient read agree", shown(text));
    }
    try {
        const std::int16_t port = textToInt16(text);
        const auto number = parseWholeNumber(text);
        require(number && std::fabs(port - *number) <= 0.5, "a port number text converts to its number", shown(text));
    } catch (const Failure& failure) {
        require(failure.number() == static_cast<std::int32_t>(FailureNumber::TypeMismatch) ||
                    failure.number() == static_cast<std::int32_t>(FailureNumber::Overflow),
                "a text fails only with a conversion error", shown(text));
    }
    if (const auto settings = parseSerialSettings(text)) {
        require(settings->dataBits >= 4 && settings->dataBits <= 8, "accepted data bits are 4..8", shown(text));
        require(settings->baudRate >= 1 && settings->baudRate <= 4'000'000, "accepted baud rates are in range",
                shown(text));
    }
}

void checkWeightTexts(double weight) {
    if (!hasFifteenDigitText(weight)) return;
    for (const char* separator : {".", ","}) {
        std::string display = displayText(weight, separator);
        require(!display.empty() && display.size() <= 24, "the display text is short", display);
        require(display.front() != ' ', "the display text has no leading blank", display);
        require((display.front() == '-') == (weight < 0), "a minus only before negative values", display);
        require(display.find('e') == std::string::npos, "the exponent is written E", display);
        for (char& c : display)
            if (c == separator[0]) c = '.';
        require(readsBackAs(parseWholeNumber(display), weight), "the display text reads back",
                display + " vs " + shown(weight));
    }
    const std::string property = propertyText(weight);
    require((property.front() == ' ') == !(weight < 0), "a blank before values of zero or more", property);
    require(readsBackAs(parseWholeNumber(property), weight), "the property text reads back",
            property + " vs " + shown(weight));
    require(readsBackAs(parseLenientNumber(property), weight), "the property text reads back leniently", property);
}

void checkDecode(const std::string& reply, std::int16_t decPoint) {
    const DecodedReply decoded = decodeReply(reply, decPoint);
    require(std::isfinite(decoded.weight), "a decoded weight is finite",
            shown(reply.substr(0, 16)) + " DecPoint " + std::to_string(decPoint) + " gives " + shown(decoded.weight));
    if (decoded.kind == TerminalKind::Unknown) require(decoded.weight == 0, "an unrecognised reply weighs 0");
    if (decoded.kind == TerminalKind::Orva2) require(!std::signbit(decoded.weight), "an ORVA-2 weight is never negative");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const double weight = in.float64();
    FuzzInput again(data, size);
    const std::int16_t decPoint = again.int16();
    const std::string text(reinterpret_cast<const char*>(data), size);

    checkReadingText(text);
    checkWeightTexts(weight);
    checkDecode(text, decPoint);
    checkDecode(text.size() > 2 ? text.substr(2) : std::string(), decPoint);
    return 0;
}
