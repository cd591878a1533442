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

#include "service/api_request.h"

namespace orva::service {

class ConfigFile;
class ServiceScale;

// Whether a scale's written properties belong in the configuration file: only
// when the file has the scale's section. A scale the file does not know (one
// of --simulate) would otherwise gain a section without a port, and the file
// would be refused at the next start.
bool savedToFile(const ConfigFile* file, const QString& scaleId);

struct WrittenProperties {
    QJsonObject properties;  // MinFixVes, DecPoint, ComSetting, ComNumber as the control holds them
    std::string written;     // "Name=value, ..." for the log
    bool saved = false;
    std::optional<std::string> saveError;  // the properties are in force, the file is not updated
};

// `body` is a JSON object of writable properties. A refusal (400) leaves the
// control and the file untouched.
std::variant<WrittenProperties, Refusal> writeProperties(ServiceScale& scale, const QByteArray& body, ConfigFile* file);

}  // namespace orva::service
