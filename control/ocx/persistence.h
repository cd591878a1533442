#pragma once
// The host's two ways of keeping the control's properties: a property bag
// (IPropertyBag, text-like containers) and a stream (IPersistStreamInit,
// binary containers). Both carry the same eight keys with the same values.

#include <ocidl.h>

#include <map>
#include <string>
#include <vector>

#include "platform/property_bag.h"

namespace orva::ocx {

// A host's IPropertyBag as the core sees a bag. A key the bag does not hold
// reads as its default; any other failure of the bag ends the load or save.
class ComPropertyBag : public PropertyBag {
public:
    // saveAll false lets a save leave out values equal to their defaults.
    ComPropertyBag(IPropertyBag& bag, IErrorLog* log, bool saveAll) : bag_(bag), log_(log), saveAll_(saveAll) {}
    PropertyValue read(std::string_view key, const PropertyValue& defaultValue) override;
    void write(std::string_view key, const PropertyValue& value, const PropertyValue& defaultValue) override;

private:
    IPropertyBag& bag_;
    IErrorLog* log_;
    bool saveAll_;
};

// The keys and values of one save, and their stream form: "ORVA", a format
// version, then each key with its typed value, in the order saved.
class StreamRecord : public PropertyBag {
public:
    PropertyValue read(std::string_view key, const PropertyValue& defaultValue) override;
    void write(std::string_view key, const PropertyValue& value, const PropertyValue& defaultValue) override;

    std::vector<unsigned char> serialize() const;
    // Reads exactly one record from the stream; damaged data is refused.
    void load(IStream& stream);

private:
    std::vector<std::pair<std::string, PropertyValue>> entries_;
};

// A VARIANT's value as the core's property value, and back.
PropertyValue fromVariant(const VARIANT& value);
void toVariant(const PropertyValue& value, VARIANT& out);

}  // namespace orva::ocx
