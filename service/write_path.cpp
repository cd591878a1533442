#include "service/write_path.h"

#include "service/scale_fleet.h"

namespace orva::service {

std::variant<WrittenProperties, Refusal> WritePath::write(const QString& scaleId, const QByteArray& body) const {
    ServiceScale* scale = fleet_.find(scaleId);
    if (scale == nullptr) return Refusal{404, QString("no scale \"%1\"").arg(scaleId)};
    return writeProperties(*scale, body, file_);
}

}  // namespace orva::service
