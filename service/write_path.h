#pragma once
// How every face writes a scale's properties: by the scale's id, through
// the control's own property writes, saved to the configuration file
// (service/property_writer.h).

#include <QByteArray>
#include <QString>
#include <variant>

#include "service/property_writer.h"

namespace orva::service {

class ScaleFleet;

// The fleet's write path, as a face is given it: a write of one scale's
// properties by its id. An unknown id is refused with 404.
class WritePath {
public:
    // file may be null (nothing to save to).
    WritePath(ScaleFleet& fleet, ConfigFile* file) : fleet_(fleet), file_(file) {}
    std::variant<WrittenProperties, Refusal> write(const QString& scaleId, const QByteArray& body) const;

private:
    ScaleFleet& fleet_;
    ConfigFile* file_;
};

}  // namespace orva::service
