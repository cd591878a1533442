#include "service/property_request.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>

#include "control/property_table.h"
#include "control/value_conversion.h"
#include "platform/failure.h"
#include "platform/serial_settings.h"

namespace orva::service {
namespace {

Refusal refuse(int status, const QString& text) { return Refusal{status, text}; }

// Texts end up on one line of the configuration file: no control characters.
bool printable(const QString& text) {
    return std::none_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

}  // namespace

std::variant<std::vector<PropertyWrite>, Refusal> propertyWrites(const QByteArray& body) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return refuse(400, QString("the body is not JSON: %1 at offset %2").arg(error.errorString()).arg(error.offset));
    if (!document.isObject()) return refuse(400, "the body must be a JSON object of properties");
    const QJsonObject object = document.object();
    if (object.isEmpty()) return refuse(400, "no property to write");
    std::vector<PropertyWrite> writes;
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString name = it.key();
        const QJsonValue v = it.value();
        const PropertyInfo* property = findProperty(name.toStdString());
        if (property == nullptr)
            return refuse(400, QString("no property \"%1\" (%2)").arg(name, QString::fromStdString(remotelyWritableNames())));
        if (!property->remotelyWritable)
            return refuse(400, QString("%1 is written by the scale itself at every reading").arg(name));
        if (property->type == PropertyType::Integer) {
            const double d = v.toDouble(NAN);
            if (!v.isDouble() || !std::isfinite(d) || d != std::floor(d) || d < -32768 || d > 32767)
                return refuse(400, QString("%1 must be a whole number, -32768 to 32767").arg(name));
            writes.push_back({name, static_cast<std::int16_t>(d)});
        } else if (property->form == TextForm::LineSettings) {
            if (!v.isString() || !printable(v.toString()) || v.toString().size() > 64)
                return refuse(400, "ComSetting must be a text such as \"9600,n,8,1\"");
            // Refused here, not by the port at the next poll: there the control
            // keeps its old settings while the file would hold the bad text.
            if (!parseSerialSettings(v.toString().toStdString()))
                return refuse(400, QString("ComSetting \"%1\" is not line settings: baud,parity,data bits,stop bits "
                                           "such as \"9600,n,8,1\" (parity n, e, o, m or s; 4 to 8 data bits; "
                                           "1, 1.5 or 2 stop bits)")
                                       .arg(v.toString()));
            writes.push_back({name, v.toString()});
        } else if (property->form == TextForm::PortNumber) {
            if (v.isDouble()) {
                const double d = v.toDouble();
                if (d != std::floor(d) || d < 1 || d > 32767) return refuse(400, "ComNumber must be a port number, 1 to 32767");
                writes.push_back({name, QString::number(static_cast<int>(d))});
            } else if (v.isString()) {
                // The number must read back from the configuration at the next start.
                std::int16_t n = 0;
                try {
                    n = textToInt16(v.toString().toStdString());
                } catch (const Failure&) {
                    n = 0;
                }
                if (n < 1 || !printable(v.toString())) return refuse(400, "ComNumber must be a port number, 1 to 32767");
                writes.push_back({name, v.toString()});
            } else {
                return refuse(400, "ComNumber must be a port number");
            }
        } else {
            // A text property with no check of its own here is not written remotely.
            return refuse(400, QString("%1 cannot be written remotely").arg(name));
        }
    }
    return writes;
}

}  // namespace orva::service
