// A saved document is untrusted: the host's property bag may hand back any
// value type under any of the eight keys. Loading it either succeeds or ends
// with a TypeMismatch or Overflow failure at one key, after the keys before
// it were loaded in order; whatever the record then holds saves and loads
// back to itself.
//
// Input: for each key in the record's order a tag byte (0 absent, 1 empty
// value, 2 boolean, 3 integer, 4 floating point, 5 text) and its payload;
// a text is a length byte and its bytes. Then an options byte: bit 0 makes
// the control hold other values than the defaults when the load begins.

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "acquisition/number_text.h"
#include "control/activex_orva.h"
#include "control/property_persistence.h"
#include "control/value_conversion.h"
#include "fuzz/fuzz_support.h"
#include "platform/failure.h"
#include "tests/support/virtual_platform.h"
#include "platform/virtual/virtual_services.h"

namespace {

using namespace orva;
using namespace orva::fuzz;
using namespace orva::virtual_time;

constexpr std::array<const char*, 8> kKeys = {"MinFixVes",  "DecPoint",    "ComSetting",     "ComNumber",
                                              "VesTerminal", "TipTerminal", "StatusTerminal", "UnitWeight"};
constexpr std::size_t kIntegerFields = 2;  // MinFixVes and DecPoint come first

// Remembers which keys were asked for, in order.
class WatchedBag : public MemoryPropertyBag {
public:
    PropertyValue read(std::string_view key, const PropertyValue& defaultValue) override {
        asked.emplace_back(key);
        return MemoryPropertyBag::read(key, defaultValue);
    }
    std::vector<std::string> asked;
};

PropertyValue defaultOf(std::size_t field) {
    const PropertyRecord defaults;
    switch (field) {
        case 0: return std::int32_t{defaults.MinFixVes};
        case 1: return std::int32_t{defaults.DecPoint};
        case 2: return defaults.ComSetting;
        case 3: return defaults.ComNumber;
        case 4: return defaults.VesTerminal;
        case 5: return defaults.TipTerminal;
        case 6: return defaults.StatusTerminal;
        default: return defaults.UnitWeight;
    }
}

PropertyValue valueFrom(FuzzInput& in, std::uint8_t tag) {
    switch (tag % 5) {
        case 0: return std::monostate{};
        case 1: return (in.byte() & 1) != 0;
        case 2: return in.int32();
        case 3: return in.float64();
        default: return in.chunk();
    }
}

bool failureOfConversion(const Failure& failure) {
    return failure.number() == static_cast<std::int32_t>(FailureNumber::TypeMismatch) ||
           failure.number() == static_cast<std::int32_t>(FailureNumber::Overflow);
}

// What a 16-bit field becomes, checked from the outside: a whole number in
// range comes out as it is, a boolean as -1 or 0, any other number rounded to
// within a half. A number outside the field's range (NaN and the infinities
// too) fails with Overflow; a text fails with TypeMismatch when it is no
// number and with Overflow when it is one outside the range. Hosts tell the
// two apart by their error codes.
void checkInt16Conversion(const PropertyValue& value) {
    try {
        const std::int16_t converted = toInt16(value);
        if (const auto* i = std::get_if<std::int32_t>(&value)) require(converted == *i, "an integer in range loads as is");
        if (const auto* b = std::get_if<bool>(&value)) require(converted == (*b ? -1 : 0), "a boolean loads as -1 or 0");
        if (const auto* d = std::get_if<double>(&value))
            require(std::fabs(converted - *d) <= 0.5, "a number loads rounded", shown(*d));
        if (const auto* s = std::get_if<std::string>(&value)) {
            const auto number = parseWholeNumber(*s);
            require(number && std::fabs(converted - *number) <= 0.5, "a text loads as its number", shown(*s));
        }
    } catch (const Failure& failure) {
        require(failureOfConversion(failure), "a 16-bit field fails only with a conversion error");
        const bool overflow = failure.number() == static_cast<std::int32_t>(FailureNumber::Overflow);
        if (const auto* i = std::get_if<std::int32_t>(&value)) {
            require(*i < -32768 || *i > 32767, "an integer in range never fails");
            require(overflow, "an integer out of range fails with Overflow");
        }
        if (std::holds_alternative<double>(value)) require(overflow, "a number out of range fails with Overflow");
        if (const auto* s = std::get_if<std::string>(&value))
            require(overflow == parseWholeNumber(*s).has_value(),
                    "a text fails with Overflow when it is a number, else with TypeMismatch", shown(*s));
        require(!std::holds_alternative<bool>(value) && !std::holds_alternative<std::monostate>(value),
                "a boolean or an empty value never fails");
    }
}

void checkTextConversion(const PropertyValue& value) {
    const std::string text = toText(value);  // a text field never fails
    if (const auto* s = std::get_if<std::string>(&value)) require(text == *s, "a text loads unchanged");
    if (const auto* i = std::get_if<std::int32_t>(&value))
        require(text == std::to_string(*i), "an integer loads as its decimal text");
    if (const auto* d = std::get_if<double>(&value); d != nullptr && hasFifteenDigitText(*d))
        require(readsBackAs(parseWholeNumber(text), *d), "a number loads as a text that reads back",
                shown(text) + " vs " + shown(*d));
}

// The record a load must leave: keys before the first one that cannot be
// converted loaded, that key and the rest as they were.
struct ExpectedLoad {
    PropertyRecord record;
    std::size_t keysRead = kKeys.size();
    std::int32_t failure = 0;
};

ExpectedLoad expectLoad(MemoryPropertyBag& bag, const PropertyRecord& before) {
    ExpectedLoad expected;
    expected.record = before;
    PropertyRecord& r = expected.record;
    for (std::size_t field = 0; field < kKeys.size(); ++field) {
        const PropertyValue value = bag.read(kKeys[field], defaultOf(field));
        try {
            switch (field) {
                case 0: r.MinFixVes = toInt16(value); break;
                case 1: r.DecPoint = toInt16(value); break;
                case 2: r.ComSetting = toText(value); break;
                case 3: r.ComNumber = toText(value); break;
                case 4: r.VesTerminal = toText(value); break;
                case 5: r.TipTerminal = toText(value); break;
                case 6: r.StatusTerminal = toText(value); break;
                default: r.UnitWeight = toText(value); break;
            }
        } catch (const Failure& failure) {
            expected.keysRead = field + 1;
            expected.failure = failure.number();
            break;
        }
    }
    return expected;
}

void checkSavedForm(const MemoryPropertyBag& saved) {
    for (const auto& [key, value] : saved.values) {
        std::size_t field = 0;
        while (field < kKeys.size() && key != kKeys[field]) ++field;
        require(field < kKeys.size(), "a save writes only the eight keys", key);
        if (field < kIntegerFields) require(std::holds_alternative<std::int32_t>(value), "an integer saves as one");
        else require(std::holds_alternative<std::string>(value), "a text saves as one");
        require(value != defaultOf(field), "a value equal to its default is left out");
    }
}

struct ControlOnLine {
    VirtualPlatform platform;
    ActivexORVA control{platform.controlPlatform()};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    WatchedBag bag;
    for (std::size_t field = 0; field < kKeys.size(); ++field) {
        const std::uint8_t tag = in.byte();
        if (tag % 6 == 0) continue;  // the document holds no value for this key
        const PropertyValue value = valueFrom(in, static_cast<std::uint8_t>(tag % 6 - 1));
        if (field < kIntegerFields) checkInt16Conversion(value);
        else checkTextConversion(value);
        bag.values[kKeys[field]] = value;
    }

    ControlOnLine first;
    if ((in.byte() & 1) != 0) {
        // A control the host has already written to.
        first.control.setMinFixVes(7);
        first.control.setDecPoint(3);
        first.control.setComSetting("19200,e,7,2");
        first.control.setComNumber("4");
        first.control.setVesTerminal(" 1.5");
        first.control.setTipTerminal("ORVA-2");
        first.control.setStatusTerminal("C");
        first.control.setUnitWeight("lb");
    }
    const ExpectedLoad expected = expectLoad(bag, first.control.properties());
    bag.asked.clear();

    std::int32_t failure = 0;
    try {
        first.control.ReadProperties(bag);
    } catch (const Failure& f) {
        require(failureOfConversion(f), "a load fails only with a conversion error", f.description());
        failure = f.number();
    }
    // Anything other than orva::Failure escapes and ends the run as a crash.

    require(failure == expected.failure, "the load fails exactly at a value that cannot be converted");
    require(bag.asked.size() == expected.keysRead, "the load stops at the failing key");
    for (std::size_t i = 0; i < bag.asked.size(); ++i) require(bag.asked[i] == kKeys[i], "keys load in order");
    require(first.control.properties() == expected.record, "loaded keys hold their values, the rest what they held");

    // Whatever was loaded survives a save and a load.
    MemoryPropertyBag saved;
    first.control.WriteProperties(saved);
    checkSavedForm(saved);
    ControlOnLine second;
    second.control.ReadProperties(saved);
    require(second.control.properties() == first.control.properties(), "a save then a load gives the same record");
    MemoryPropertyBag savedAgain;
    second.control.WriteProperties(savedAgain);
    require(savedAgain.values == saved.values, "saving the reloaded record gives the same document");
    return 0;
}
