#pragma once
// The control's eight properties, listed once: name, type, where the value
// lives, how a host writes it, whether a host may let a remote peer write it,
// whether it is persisted and what a host's text for it must read as.
// Persistence, the hosts' HTTP, MQTT and JSON lines, the service's
// configuration and the properties file's warnings all read this table, in
// its order (the persisted order).

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "acquisition/property_record.h"
#include "control/activex_orva.h"
#include "control/value_conversion.h"
#include "platform/property_bag.h"

namespace orva {

enum class PropertyType { Integer, Text };

// What a text property's value must read as when a host or a file gives it.
enum class TextForm {
    Any,
    PortNumber,    // a whole number, 1 to 32767
    LineSettings,  // "baud,parity,data bits,stop bits", such as "9600,n,8,1"
};

struct PropertyInfo {
    std::string_view name;
    PropertyType type;
    // The record's field and its default; one of each pair, by type.
    std::int16_t PropertyRecord::*integer;
    std::string PropertyRecord::*text;
    std::int16_t integerDefault;
    const char* textDefault;
    // The control's property write (it notifies the host), by type.
    void (ActivexORVA::*setInteger)(std::int16_t);
    void (ActivexORVA::*setText)(std::string_view);
    // False for the four the reading writes at every decode: a remote write
    // would be overwritten at once.
    bool remotelyWritable;
    bool persisted;
    TextForm form;

    PropertyValue read(const PropertyRecord& record) const {
        if (type == PropertyType::Integer) return static_cast<std::int32_t>(record.*integer);
        return record.*text;
    }
    PropertyValue read(const ActivexORVA& control) const { return read(control.properties()); }
    PropertyValue defaultValue() const {
        if (type == PropertyType::Integer) return static_cast<std::int32_t>(integerDefault);
        return std::string(textDefault);
    }
    // Converts as a load does (throws Failure on a value of the wrong kind).
    void write(ActivexORVA& control, const PropertyValue& value) const {
        if (type == PropertyType::Integer) (control.*setInteger)(toInt16(value));
        else (control.*setText)(toText(value));
    }
    // The value as a property file or a log line shows it.
    std::string textOf(const ActivexORVA& control) const {
        if (type == PropertyType::Integer) return std::to_string(control.properties().*integer);
        return control.properties().*text;
    }
};

namespace property_table_detail {
using R = PropertyRecord;
using C = ActivexORVA;
constexpr PropertyInfo integer(std::string_view name, std::int16_t R::*field, std::int16_t fallback,
                               void (C::*set)(std::int16_t), bool remote) {
    return {name, PropertyType::Integer, field, nullptr, fallback, nullptr, set, nullptr, remote, true, TextForm::Any};
}
constexpr PropertyInfo text(std::string_view name, std::string R::*field, const char* fallback,
                            void (C::*set)(std::string_view), bool remote, TextForm form = TextForm::Any) {
    return {name, PropertyType::Text, nullptr, field, 0, fallback, nullptr, set, remote, true, form};
}
}  // namespace property_table_detail

inline const std::array<PropertyInfo, 8>& propertyTable() {
    using namespace property_table_detail;
    static const std::array<PropertyInfo, 8> table{{
        integer("MinFixVes", &R::MinFixVes, R::kDefaultMinFixVes, &C::setMinFixVes, true),
        integer("DecPoint", &R::DecPoint, R::kDefaultDecPoint, &C::setDecPoint, true),
        text("ComSetting", &R::ComSetting, R::kDefaultComSetting, &C::setComSetting, true, TextForm::LineSettings),
        text("ComNumber", &R::ComNumber, R::kDefaultComNumber, &C::setComNumber, true, TextForm::PortNumber),
        text("VesTerminal", &R::VesTerminal, R::kDefaultVesTerminal, &C::setVesTerminal, false),
        text("TipTerminal", &R::TipTerminal, R::kDefaultTipTerminal, &C::setTipTerminal, false),
        text("StatusTerminal", &R::StatusTerminal, R::kDefaultStatusTerminal, &C::setStatusTerminal, false),
        text("UnitWeight", &R::UnitWeight, R::kDefaultUnitWeight, &C::setUnitWeight, false),
    }};
    return table;
}

// The property of that exact name, or null.
inline const PropertyInfo* findProperty(std::string_view name) {
    for (const PropertyInfo& p : propertyTable())
        if (p.name == name) return &p;
    return nullptr;
}

// The property held in that field of the record: code outside the control
// names a property by its field, and its name stays written once, above.
inline const PropertyInfo& propertyOf(std::int16_t PropertyRecord::*field) {
    for (const PropertyInfo& p : propertyTable())
        if (p.integer == field) return p;
    throw std::logic_error("a record field missing from the property table");
}
inline const PropertyInfo& propertyOf(std::string PropertyRecord::*field) {
    for (const PropertyInfo& p : propertyTable())
        if (p.text == field) return p;
    throw std::logic_error("a record field missing from the property table");
}

// "MinFixVes, DecPoint, ComSetting, ComNumber": the names a remote write may use.
inline std::string remotelyWritableNames() {
    std::string names;
    for (const PropertyInfo& p : propertyTable())
        if (p.remotelyWritable) names += (names.empty() ? "" : ", ") + std::string(p.name);
    return names;
}

}  // namespace orva
