#include "platform/qt/file_trace.h"

#include <QDateTime>
#include <stdexcept>

namespace orva::qt {

FileTrace::FileTrace(const std::string& path) : file_(QString::fromStdString(path)) {
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Append))
        throw std::runtime_error("cannot write the trace " + path + ": " + file_.errorString().toStdString());
}

void FileTrace::line(std::string_view text) {
    QByteArray out = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")).toUtf8();
    out.append(text.data(), static_cast<qsizetype>(text.size()));
    out.append('\n');
    file_.write(out);
    file_.flush();
}

}  // namespace orva::qt
