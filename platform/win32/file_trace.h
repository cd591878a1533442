#pragma once
// The wire trace written to a file on Windows: each line after the local time
// with milliseconds and the instance it comes from, appended with one write
// so that several controls (and several processes) can share one file.

#include <memory>
#include <string>
#include <string_view>

#include "platform/trace.h"
#include "platform/win32/handles.h"

namespace orva::win32 {

class FileTrace final : public Trace {
public:
    // Null when the file cannot be opened for appending: a trace that cannot
    // be written must never keep the control from working.
    static std::unique_ptr<FileTrace> open(const std::wstring& path, std::string instance);
    void line(std::string_view text) override;

private:
    FileTrace(FileHandle file, std::string instance) : file_(std::move(file)), instance_(std::move(instance)) {}
    FileHandle file_;
    std::string instance_;
};

// Where the control writes its trace: the environment variable ORVA_TRACE,
// else the value ORVA_TRACE under the given registry key of the classes root
// (the control's CLSID key). Empty when neither is set: no trace.
std::wstring traceSetting(const std::wstring& classKey);

}  // namespace orva::win32
