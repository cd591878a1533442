#pragma once
// The serial port object on a Windows COM port: CreateFile on \\.\COMn, the
// line settings as a DCB, and reads that never wait, so a poll takes only
// what has arrived since the previous one.

#include <cstdint>
#include <string>

#include "platform/serial_port.h"
#include "platform/win32/handles.h"

namespace orva::win32 {

class Win32SerialPort : public SerialPort {
public:
    static constexpr std::uint32_t kInputBuffer = 1024;
    static constexpr std::uint32_t kOutputBuffer = 512;

    Win32SerialPort();

    std::int16_t CommPort() const override { return number_; }
    void setCommPort(std::int16_t number) override;
    bool PortOpen() const override { return handle_.valid(); }
    void setPortOpen(bool open) override;
    std::string Settings() const override { return settings_; }
    void setSettings(std::string_view text) override;
    void Output(std::string_view bytes) override;
    std::string Input() override;

private:
    void open();
    [[noreturn]] void deviceFailed(DWORD error);
    std::wstring deviceName() const;

    std::int16_t number_ = 1;
    std::string settings_ = "9600,n,8,1";
    FileHandle handle_;
};

}  // namespace orva::win32
