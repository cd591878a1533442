#pragma once
// The serial port object on a Windows COM port: CreateFile on \\.\COMn, the
// line settings as a DCB, and reads that never wait, so a poll takes only
// what has arrived since the previous one. The rules all serial ports share
// are in CheckedSerialPort.

#include <cstdint>
#include <string>

#include "platform/checked_serial_port.h"
#include "platform/win32/handles.h"

namespace orva::win32 {

class Win32SerialPort final : public CheckedSerialPort {
public:
    static constexpr std::uint32_t kOutputBuffer = 512;

    Win32SerialPort();

private:
    DeviceState deviceState() const override { return handle_.valid() ? DeviceState::Open : DeviceState::Closed; }
    void openDevice(std::int16_t number, const SerialSettings& settings) override;
    void closeDevice() override { handle_.reset(); }
    std::string refusalOf(const SerialSettings& settings) override;
    void writeDevice(std::string_view bytes) override;
    void readDevice(std::string& into, std::size_t room) override;
    std::string deviceName() const override { return "COM" + std::to_string(CommPort()); }

    [[noreturn]] void deviceFailed(DWORD error);
    [[noreturn]] void throwSystemFailure(DWORD error, FailureNumber fallback) const;

    FileHandle handle_;
};

}  // namespace orva::win32
