#include "control/property_persistence.h"

#include "control/property_table.h"
#include "control/value_conversion.h"

namespace orva {

// Loaded straight into the record, as a saved instance is given its values:
// no change notification.
void loadProperties(PropertyRecord& record, PropertyBag& bag) {
    for (const PropertyInfo& p : propertyTable()) {
        if (!p.persisted) continue;
        const PropertyValue value = bag.read(p.name, p.defaultValue());
        if (p.type == PropertyType::Integer) record.*p.integer = toInt16(value);
        else record.*p.text = toText(value);
    }
}

void saveProperties(const PropertyRecord& record, PropertyBag& bag) {
    for (const PropertyInfo& p : propertyTable())
        if (p.persisted) bag.write(p.name, p.read(record), p.defaultValue());
}

}  // namespace orva
