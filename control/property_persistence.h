#pragma once
// Saving and loading the property record through the host's property bag,
// one key per property, in the record's order, each with its default.

#include "acquisition/property_record.h"
#include "platform/property_bag.h"

namespace orva {

// Each key is read with its default and converted to the field's type. A
// value that cannot be converted ends the load at that key with the
// conversion's failure: fields before it keep their loaded values, the rest
// what they held.
void loadProperties(PropertyRecord& record, PropertyBag& bag);

// Writes the current value of every field. A bag's failure ends the save.
void saveProperties(const PropertyRecord& record, PropertyBag& bag);

}  // namespace orva
