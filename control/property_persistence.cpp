#include "control/property_persistence.h"

#include "control/value_conversion.h"

namespace orva {
namespace {

// The record's fields in their persisted order.
template <class Record, class Visit>
void forEachField(Record& r, Visit&& visit) {
    visit("MinFixVes", r.MinFixVes, PropertyRecord::kDefaultMinFixVes);
    visit("DecPoint", r.DecPoint, PropertyRecord::kDefaultDecPoint);
    visit("ComSetting", r.ComSetting, PropertyRecord::kDefaultComSetting);
    visit("ComNumber", r.ComNumber, PropertyRecord::kDefaultComNumber);
    visit("VesTerminal", r.VesTerminal, PropertyRecord::kDefaultVesTerminal);
    visit("TipTerminal", r.TipTerminal, PropertyRecord::kDefaultTipTerminal);
    visit("StatusTerminal", r.StatusTerminal, PropertyRecord::kDefaultStatusTerminal);
    visit("UnitWeight", r.UnitWeight, PropertyRecord::kDefaultUnitWeight);
}

PropertyValue asValue(std::int16_t v) { return static_cast<std::int32_t>(v); }
PropertyValue asValue(const std::string& v) { return v; }
PropertyValue asValue(const char* v) { return std::string(v); }

void assignFrom(std::int16_t& field, const PropertyValue& v) { field = toInt16(v); }
void assignFrom(std::string& field, const PropertyValue& v) { field = toText(v); }

}  // namespace

void loadProperties(PropertyRecord& record, PropertyBag& bag) {
    forEachField(record, [&](std::string_view key, auto& field, const auto& defaultValue) {
        assignFrom(field, bag.read(key, asValue(defaultValue)));
    });
}

void saveProperties(const PropertyRecord& record, PropertyBag& bag) {
    forEachField(record, [&](std::string_view key, auto& field, const auto& defaultValue) {
        bag.write(key, asValue(field), asValue(defaultValue));
    });
}

}  // namespace orva
