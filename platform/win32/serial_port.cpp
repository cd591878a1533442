#include "platform/win32/serial_port.h"

#include <algorithm>
#include <array>

#include "platform/failure.h"
#include "platform/serial_settings.h"

namespace orva::win32 {
namespace {

BYTE parityCode(Parity parity) {
    switch (parity) {
        case Parity::Even: return EVENPARITY;
        case Parity::Odd: return ODDPARITY;
        case Parity::Mark: return MARKPARITY;
        case Parity::Space: return SPACEPARITY;
        case Parity::None: break;
    }
    return NOPARITY;
}

BYTE stopBitsCode(StopBits stop) {
    switch (stop) {
        case StopBits::OneAndHalf: return ONE5STOPBITS;
        case StopBits::Two: return TWOSTOPBITS;
        case StopBits::One: break;
    }
    return ONESTOPBIT;
}

// Applies the settings; the system's error code when the device refuses them.
DWORD applySettings(HANDLE port, const SerialSettings& s) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(port, &dcb)) return ::GetLastError();
    dcb.BaudRate = s.baudRate;
    dcb.ByteSize = s.dataBits;
    dcb.Parity = parityCode(s.parity);
    dcb.StopBits = stopBitsCode(s.stopBits);
    dcb.fBinary = TRUE;
    dcb.fParity = s.parity != Parity::None;
    // No handshaking: the terminal answers a bare line feed on a three-wire line.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fErrorChar = TRUE;
    dcb.ErrorChar = '?';  // a byte received with a parity error reads as "?"
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!::SetCommState(port, &dcb)) return ::GetLastError();
    return ERROR_SUCCESS;
}

std::string systemText(DWORD error) {
    return narrow(systemMessage(error)) + " (system error " + std::to_string(error) + ")";
}

FileHandle openComPort(const std::wstring& device) {
    return FileHandle(::CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

}  // namespace

Win32SerialPort::Win32SerialPort() = default;

// A failed system call as the control reports it: our number for the kind
// of failure, the system's own text and code in the description.
void Win32SerialPort::throwSystemFailure(DWORD error, FailureNumber fallback) const {
    FailureNumber number = fallback;
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST:
            number = FailureNumber::NoSuchDevice;
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            number = FailureNumber::DeviceBusy;
            break;
        default:
            break;
    }
    throw deviceFailure(number, systemText(error));
}

void Win32SerialPort::openDevice(std::int16_t number, const SerialSettings& settings) {
    FileHandle port = openComPort(L"\\\\.\\COM" + std::to_wstring(number));
    if (!port) throwSystemFailure(::GetLastError(), FailureNumber::DeviceFailure);

    // Buffer sizes are a request the driver may round or ignore.
    ::SetupComm(port.get(), kInputBufferSize, kOutputBuffer);
    if (const DWORD error = applySettings(port.get(), settings); error != ERROR_SUCCESS)
        throwSystemFailure(error, FailureNumber::SettingsNotSupported);

    // A read returns at once with whatever has arrived; writes take as long
    // as the line needs for one byte.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!::SetCommTimeouts(port.get(), &timeouts)) throwSystemFailure(::GetLastError(), FailureNumber::DeviceFailure);
    ::PurgeComm(port.get(), PURGE_RXCLEAR | PURGE_TXCLEAR);
    handle_ = std::move(port);
}

// An open port applies the settings at once (and keeps its previous ones on
// a refusal); a closed one asks its device when the device can be opened now.
std::string Win32SerialPort::refusalOf(const SerialSettings& settings) {
    if (handle_.valid()) {
        const DWORD error = applySettings(handle_.get(), settings);
        if (error == ERROR_SUCCESS) return {};
        applySettings(handle_.get(), this->settings());
        return systemText(error);
    }
    FileHandle probe = openComPort(L"\\\\.\\COM" + std::to_wstring(CommPort()));
    if (!probe) return {};
    const DWORD error = applySettings(probe.get(), settings);
    return error == ERROR_SUCCESS ? std::string() : systemText(error);
}

// A read or write that fails means the device went away (an adapter pulled,
// a line hung up): the port is closed, so the next poll opens it again and
// polling resumes by itself once the device is back.
void Win32SerialPort::deviceFailed(DWORD error) {
    handle_.reset();
    throw deviceFailure(FailureNumber::DeviceFailure, systemText(error));
}

void Win32SerialPort::writeDevice(std::string_view bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        DWORD written = 0;
        if (!::WriteFile(handle_.get(), bytes.data() + sent, static_cast<DWORD>(bytes.size() - sent), &written,
                         nullptr))
            deviceFailed(::GetLastError());
        if (written == 0) break;
        sent += written;
    }
}

// Takes what has arrived, up to the room given; what arrived beyond it is
// dropped, as on an overrun, so the next read starts with what comes next.
void Win32SerialPort::readDevice(std::string& into, std::size_t room) {
    DWORD errors = 0;
    COMSTAT status{};
    // Also clears a line error that would otherwise block further reads.
    ::ClearCommError(handle_.get(), &errors, &status);

    std::array<char, 1024> buffer{};
    while (room > 0) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min(room, buffer.size()));
        if (!::ReadFile(handle_.get(), buffer.data(), want, &got, nullptr)) deviceFailed(::GetLastError());
        into.append(buffer.data(), got);
        room -= got;
        if (got < want) return;
    }
    ::PurgeComm(handle_.get(), PURGE_RXCLEAR);
}

}  // namespace orva::win32
