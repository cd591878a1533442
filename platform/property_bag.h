#pragma once
// The host's property bag and its change notification. A value comes back
// as whatever type the bag stored; the control converts it to its field type.

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace orva {

// Empty (absent), boolean, integer, floating point or text (UTF-8).
using PropertyValue = std::variant<std::monostate, bool, std::int32_t, double, std::string>;

class PropertyBag {
public:
    virtual ~PropertyBag() = default;
    // The stored value of key, or defaultValue when the bag holds none.
    virtual PropertyValue read(std::string_view key, const PropertyValue& defaultValue) = 0;
    // Store value under key; a bag may leave out a value equal to its default.
    virtual void write(std::string_view key, const PropertyValue& value,
                       const PropertyValue& defaultValue) = 0;
};

class PropertyChangeSink {
public:
    virtual ~PropertyChangeSink() = default;
    // Sent after a host's write has stored the value. May throw orva::Failure.
    virtual void propertyChanged(std::string_view propertyName) = 0;
};

}  // namespace orva
