#pragma once
// The wire trace written to a file on Linux: each line after the local time
// with milliseconds, appended and flushed at once, so the file is complete up
// to the moment a program ends or is killed.

#include <QFile>
#include <string>
#include <string_view>

#include "platform/trace.h"

namespace orva::qt {

class FileTrace final : public Trace {
public:
    // Opens FILE for appending; throws std::runtime_error naming the file and
    // the reason when it cannot.
    explicit FileTrace(const std::string& path);
    void line(std::string_view text) override;

private:
    QFile file_;
};

}  // namespace orva::qt
