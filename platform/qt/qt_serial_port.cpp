#include "platform/qt/qt_serial_port.h"

#include <poll.h>
#include <unistd.h>

#include <QFileInfo>
#include <QSerialPort>
#include <cerrno>
#include <optional>

#include "platform/failure.h"

namespace orva::qt {

struct LineSettings {
    qint32 baudRate;
    QSerialPort::DataBits dataBits;
    QSerialPort::Parity parity;
    QSerialPort::StopBits stopBits;
};

namespace {

// What the serial driver of this platform can be given. Four data bits and
// one and a half stop bits are valid settings texts but no Linux serial
// driver takes them.
std::optional<LineSettings> toLineSettings(const SerialSettings& s) {
    LineSettings line{static_cast<qint32>(s.baudRate), QSerialPort::Data8, QSerialPort::NoParity,
                      QSerialPort::OneStop};
    switch (s.dataBits) {
        case 5: line.dataBits = QSerialPort::Data5; break;
        case 6: line.dataBits = QSerialPort::Data6; break;
        case 7: line.dataBits = QSerialPort::Data7; break;
        case 8: line.dataBits = QSerialPort::Data8; break;
        default: return std::nullopt;
    }
    switch (s.parity) {
        case Parity::None: line.parity = QSerialPort::NoParity; break;
        case Parity::Even: line.parity = QSerialPort::EvenParity; break;
        case Parity::Odd: line.parity = QSerialPort::OddParity; break;
        case Parity::Mark: line.parity = QSerialPort::MarkParity; break;
        case Parity::Space: line.parity = QSerialPort::SpaceParity; break;
    }
    switch (s.stopBits) {
        case StopBits::One: line.stopBits = QSerialPort::OneStop; break;
        case StopBits::Two: line.stopBits = QSerialPort::TwoStop; break;
        case StopBits::OneAndHalf: return std::nullopt;
    }
    return line;
}

bool applyLineSettings(QSerialPort& device, const LineSettings& line) {
    return device.setBaudRate(line.baudRate) && device.setDataBits(line.dataBits) &&
           device.setParity(line.parity) && device.setStopBits(line.stopBits) &&
           device.setFlowControl(QSerialPort::NoFlowControl);
}

std::string qtError(const QSerialPort& device) { return device.errorString().toStdString(); }

// The lock file that keeps two programs off one line is named after the path
// the line is opened by, and root is not kept out by exclusive use: a link
// and the device it leads to must take the same lock, so the device is
// opened by its own name. A path that leads nowhere is kept, for the open to
// report.
QString deviceName(const std::string& path) {
    const QString given = QString::fromStdString(path);
    const QString resolved = QFileInfo(given).canonicalFilePath();
    return resolved.isEmpty() ? given : resolved;
}

// QSerialPort reports a busy device and a forbidden one alike; the file
// system tells them apart.
[[noreturn]] void throwOpenFailure(const QSerialPort& device, const std::string& path) {
    if (::access(path.c_str(), F_OK) != 0)
        throw Failure(FailureNumber::NoSuchDevice, "No such device: " + path);
    if (::access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES)
        throw Failure(FailureNumber::PermissionDenied, "Permission denied: " + path);
    switch (device.error()) {
        case QSerialPort::DeviceNotFoundError:
            throw Failure(FailureNumber::NoSuchDevice, "No such device: " + path);
        case QSerialPort::PermissionError:
            throw Failure(FailureNumber::DeviceBusy, "Device busy: " + path);
        default:
            throw Failure(FailureNumber::DeviceFailure, "Cannot open " + path + ": " + qtError(device));
    }
}

}  // namespace

QtSerialPort::QtSerialPort(std::shared_ptr<const PortMap> map) : map_(std::move(map)), device_(std::make_unique<QSerialPort>()) {
    settings_ = *parseSerialSettings(settingsText_);
    // Take what arrives as it arrives, so the receive buffer fills in
    // arrival order and an overrun loses the newest bytes, not the oldest.
    QObject::connect(device_.get(), &QSerialPort::readyRead, device_.get(), [this] { drain(); });
    QObject::connect(device_.get(), &QSerialPort::errorOccurred, device_.get(), [this](QSerialPort::SerialPortError e) {
        if (e == QSerialPort::ResourceError) vanished_ = true;
    });
}

QtSerialPort::~QtSerialPort() = default;

void QtSerialPort::setCommPort(std::int16_t number) {
    if (PortOpen())
        throw Failure(FailureNumber::PortNumberWhileOpen, "The port number can only be changed while the port is closed");
    if (number < 1) throw Failure(FailureNumber::InvalidPortNumber, "Invalid port number " + std::to_string(number));
    number_ = number;
}

bool QtSerialPort::PortOpen() const { return device_->isOpen() && !vanished_ && !deviceVanished(); }

void QtSerialPort::setPortOpen(bool open) {
    if (!open) {
        closeDevice();
        return;
    }
    if (PortOpen()) throw Failure(FailureNumber::PortAlreadyOpen, "The port is already open: " + openPath_);
    closeDevice();  // a handle on a vanished device goes before the device is opened again

    const std::string path = map_->pathOf(number_);
    try {
        device_->setPortName(deviceName(path));
        if (!device_->open(QIODevice::ReadWrite)) throwOpenFailure(*device_, path);
        const auto line = toLineSettings(settings_);
        if (!line || !applyLineSettings(*device_, *line)) {
            const std::string why = qtError(*device_);
            device_->close();
            throw Failure(FailureNumber::SettingsNotSupported, path + " cannot take the settings " + settingsText_ + ": " + why);
        }
    } catch (const Failure& failure) {
        lastOpenFailure_ = failure;
        throw;
    }
    lastOpenFailure_.reset();
    // What waited in the device before it was opened answers no request of ours.
    device_->clear(QSerialPort::Input);
    openPath_ = path;
    received_.clear();
}

void QtSerialPort::setSettings(std::string_view text) {
    const auto parsed = parseSerialSettings(text);
    if (!parsed) throw Failure(FailureNumber::InvalidSettings, "Invalid settings: " + std::string(text));
    const auto line = toLineSettings(*parsed);
    if (!line)
        throw Failure(FailureNumber::SettingsNotSupported, "The serial driver cannot take the settings " + std::string(text));
    if (device_->isOpen()) {
        if (!applyLineSettings(*device_, *line)) {
            const std::string why = qtError(*device_);
            if (const auto previous = toLineSettings(settings_)) applyLineSettings(*device_, *previous);
            throw Failure(FailureNumber::SettingsNotSupported,
                          openPath_ + " cannot take the settings " + std::string(text) + ": " + why);
        }
    } else if (const auto refusal = probe(*line)) {
        throw Failure(FailureNumber::SettingsNotSupported,
                      map_->pathOf(number_) + " cannot take the settings " + std::string(text) + ": " + *refusal);
    }
    settings_ = *parsed;
    settingsText_.assign(text);
}

// The port is closed while it is reconfigured, yet the refusal belongs to the
// settings write, where the control reports it and puts the old values back;
// found only at the next open it would leave the port silently shut. So the
// device is asked now, when it can be opened; when it cannot, the open will
// tell.
std::optional<std::string> QtSerialPort::probe(const LineSettings& line) const {
    QSerialPort device;
    device.setPortName(deviceName(map_->pathOf(number_)));
    if (!device.open(QIODevice::ReadWrite)) return std::nullopt;
    std::optional<std::string> refusal;
    if (!applyLineSettings(device, line)) refusal = qtError(device);
    device.close();
    return refusal;
}

void QtSerialPort::Output(std::string_view bytes) {
    requireOpen();
    if (device_->write(bytes.data(), static_cast<qint64>(bytes.size())) < 0)
        throw Failure(FailureNumber::DeviceFailure, "Cannot write to " + openPath_ + ": " + qtError(*device_));
    device_->flush();  // writes what the driver takes now; never waits
}

std::string QtSerialPort::Input() {
    requireOpen();
    drain();
    std::string taken;
    taken.swap(received_);
    return taken;
}

void QtSerialPort::requireOpen() {
    if (device_->isOpen() && (vanished_ || deviceVanished())) {
        // The handle is useless now; dropping it stops the event loop from
        // being woken by a hung-up device until the port is opened again.
        closeDevice();
        throw Failure(FailureNumber::DeviceFailure, "The device disappeared: " + openPath_);
    }
    if (!device_->isOpen()) throw Failure(FailureNumber::PortNotOpen, "The port is not open");
}

// A hung-up or removed device reports itself through poll() even before a
// read has failed.
bool QtSerialPort::deviceVanished() const {
    if (!device_->isOpen()) return false;
    pollfd entry{static_cast<int>(device_->handle()), POLLIN, 0};
    if (entry.fd < 0) return false;
    if (::poll(&entry, 1, 0) < 0) return false;
    return (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void QtSerialPort::drain() {
    if (!device_->isOpen()) return;
    const QByteArray bytes = device_->readAll();
    const std::size_t room = kInputBufferSize - received_.size();
    const std::size_t kept = std::min(room, static_cast<std::size_t>(bytes.size()));
    received_.append(bytes.constData(), kept);
    overrun_ += static_cast<std::size_t>(bytes.size()) - kept;
}

void QtSerialPort::closeDevice() {
    if (device_->isOpen()) device_->close();
    vanished_ = false;
    received_.clear();
}

}  // namespace orva::qt
