#include "platform/win32/file_trace.h"

#include <cstdio>

namespace orva::win32 {

std::unique_ptr<FileTrace> FileTrace::open(const std::wstring& path, std::string instance) {
    FileHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return nullptr;
    return std::unique_ptr<FileTrace>(new FileTrace(std::move(file), std::move(instance)));
}

void FileTrace::line(std::string_view text) {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    std::string out = stamp;
    out += instance_;
    out += ' ';
    out += text;
    out += "\r\n";
    DWORD written = 0;
    ::WriteFile(file_.get(), out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
}

std::wstring traceSetting(const std::wstring& classKey) {
    wchar_t buffer[MAX_PATH * 2];
    const DWORD length = ::GetEnvironmentVariableW(L"ORVA_TRACE", buffer, MAX_PATH * 2);
    if (length > 0 && length < MAX_PATH * 2) return std::wstring(buffer, length);
    DWORD size = sizeof buffer;
    if (::RegGetValueW(HKEY_CLASSES_ROOT, classKey.c_str(), L"ORVA_TRACE", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ,
                       nullptr, buffer, &size) == ERROR_SUCCESS)
        return buffer;
    return {};
}

}  // namespace orva::win32
