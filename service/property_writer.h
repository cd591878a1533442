#pragma once
// A write of a scale's properties, the same whichever way it comes (HTTP or
// the broker): checked as a whole, given to the control's own property
// writes, and saved back to the configuration file with what the control
// holds afterwards, for a scale that the file configures.

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>
#include <string>
#include <variant>

#include "service/property_request.h"

namespace orva {
class ActivexORVA;
}

namespace orva::service {

class ConfigFile;
class ServiceScale;

// The control's properties as a JSON object (integers as numbers, texts as
// strings): all of them, or only those a remote peer may write.
QJsonObject propertiesJson(const ActivexORVA& control, bool remotelyWritableOnly);

// Whether a scale's written properties belong in the configuration file: only
// when the file has the scale's section. A scale the file does not know (one
// of --simulate) would otherwise gain a section without a port, and the file
// would be refused at the next start.
bool savedToFile(const ConfigFile* file, const QString& scaleId);

struct WrittenProperties {
    QJsonObject properties;  // MinFixVes, DecPoint, ComSetting, ComNumber as the control holds them
    std::string written;     // "Name=value, ..." for the log
    bool saved = false;
};

// `body` is a JSON object of writable properties. A refusal leaves the
// control and the file as they were: 400 for a write that would break the
// scale (settings no terminal takes, a ComNumber naming no device or another
// scale's), 507 when the disk is full, 500 when the file cannot be written
// otherwise or would be refused at the next start.
std::variant<WrittenProperties, Refusal> writeProperties(ServiceScale& scale, const QByteArray& body, ConfigFile* file);

}  // namespace orva::service
