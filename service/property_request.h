#pragma once
// The body of a property write, the same whichever face it comes through
// (HTTP, the broker): a JSON object of the control's remotely writable
// properties, checked as a whole. A refusal carries the status and the text
// the client is given.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <variant>
#include <vector>

namespace orva::service {

struct Refusal {
    int status;
    QString error;
};

// One property write: a 16-bit integer or a text.
struct PropertyWrite {
    QString name;
    std::variant<std::int16_t, QString> value;
};
// A JSON object of the writable properties (MinFixVes, DecPoint: integers in
// -32768..32767; ComSetting, ComNumber: texts, ComNumber also a whole number).
// All or nothing: one bad member refuses the whole body.
std::variant<std::vector<PropertyWrite>, Refusal> propertyWrites(const QByteArray& body);

}  // namespace orva::service
