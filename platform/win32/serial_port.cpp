#include "platform/win32/serial_port.h"

#include <array>

#include "platform/failure.h"
#include "platform/serial_settings.h"

namespace orva::win32 {
namespace {

// Keeps one poll from growing without bound when a device floods the line.
constexpr std::size_t kMaxReadPerPoll = 64 * 1024;

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

// A failed system call as the control reports it: our number for the kind
// of failure, the system's own text and code in the description.
[[noreturn]] void throwSystemFailure(std::wstring_view device, DWORD error, FailureNumber fallback) {
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
    std::wstring text(device);
    text += L": ";
    text += systemMessage(error);
    text += L" (system error " + std::to_wstring(error) + L")";
    throw Failure(number, narrow(text));
}

SerialSettings parseOrThrow(std::string_view text) {
    const auto parsed = parseSerialSettings(text);
    if (!parsed) throw Failure(FailureNumber::InvalidSettings, "Invalid property value: \"" + std::string(text) + "\"");
    return *parsed;
}

void applySettings(HANDLE port, std::wstring_view device, const SerialSettings& s) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(port, &dcb)) throwSystemFailure(device, ::GetLastError(), FailureNumber::DeviceFailure);
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
    if (!::SetCommState(port, &dcb))
        throwSystemFailure(device, ::GetLastError(), FailureNumber::SettingsNotSupported);
}

}  // namespace

Win32SerialPort::Win32SerialPort() = default;

std::wstring Win32SerialPort::deviceName() const { return L"\\\\.\\COM" + std::to_wstring(number_); }

void Win32SerialPort::setCommPort(std::int16_t number) {
    if (PortOpen()) throw Failure(FailureNumber::PortNumberWhileOpen, "Port already open");
    if (number < 1) throw Failure(FailureNumber::InvalidPortNumber, "Invalid port number " + std::to_string(number));
    number_ = number;
}

void Win32SerialPort::setPortOpen(bool open) {
    if (!open) {
        handle_.reset();
        return;
    }
    if (PortOpen()) throw Failure(FailureNumber::PortAlreadyOpen, "Port already open");
    this->open();
}

void Win32SerialPort::open() {
    const std::wstring device = deviceName();
    const std::wstring shownName = L"COM" + std::to_wstring(number_);
    FileHandle port(::CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!port) throwSystemFailure(shownName, ::GetLastError(), FailureNumber::DeviceFailure);

    // Buffer sizes are a request the driver may round or ignore.
    ::SetupComm(port.get(), kInputBuffer, kOutputBuffer);
    applySettings(port.get(), shownName, parseOrThrow(settings_));

    // A read returns at once with whatever has arrived; writes take as long
    // as the line needs for one byte.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!::SetCommTimeouts(port.get(), &timeouts))
        throwSystemFailure(shownName, ::GetLastError(), FailureNumber::DeviceFailure);
    ::PurgeComm(port.get(), PURGE_RXCLEAR | PURGE_TXCLEAR);
    handle_ = std::move(port);
}

// A read or write that fails means the device went away (an adapter pulled,
// a line hung up): the port is closed, so the next poll opens it again and
// polling resumes by itself once the device is back.
void Win32SerialPort::deviceFailed(DWORD error) {
    handle_.reset();
    throwSystemFailure(L"COM" + std::to_wstring(number_), error, FailureNumber::DeviceFailure);
}

void Win32SerialPort::setSettings(std::string_view text) {
    const SerialSettings parsed = parseOrThrow(text);
    if (PortOpen()) applySettings(handle_.get(), L"COM" + std::to_wstring(number_), parsed);
    settings_.assign(text);
}

void Win32SerialPort::Output(std::string_view bytes) {
    if (!PortOpen()) throw Failure(FailureNumber::PortNotOpen, "Operation valid only when the port is open");
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

std::string Win32SerialPort::Input() {
    if (!PortOpen()) throw Failure(FailureNumber::PortNotOpen, "Operation valid only when the port is open");
    DWORD errors = 0;
    COMSTAT status{};
    // Also clears a line error that would otherwise block further reads.
    ::ClearCommError(handle_.get(), &errors, &status);

    std::string received;
    std::array<char, 1024> buffer{};
    while (received.size() < kMaxReadPerPoll) {
        DWORD got = 0;
        if (!::ReadFile(handle_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
            deviceFailed(::GetLastError());
        received.append(buffer.data(), got);
        if (got < buffer.size()) break;
    }
    return received;
}

}  // namespace orva::win32
