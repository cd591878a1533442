#include "platform/qt/qt_serial_port.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>
#include <QSerialPort>
#include <cerrno>
#include <optional>

#include "platform/failure.h"
#include "platform/qt/device_lock.h"

namespace orva::qt {
namespace {

struct LineSettings {
    qint32 baudRate;
    QSerialPort::DataBits dataBits;
    QSerialPort::Parity parity;
    QSerialPort::StopBits stopBits;
};

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
QString deviceNameOf(const std::string& path) {
    const QString given = QString::fromStdString(path);
    const QString resolved = QFileInfo(given).canonicalFilePath();
    return resolved.isEmpty() ? given : resolved;
}

}  // namespace

QtSerialPort::QtSerialPort(std::shared_ptr<const PortMap> map) : map_(std::move(map)), device_(std::make_unique<QSerialPort>()) {
    // Take what arrives as it arrives, so the receive buffer fills in
    // arrival order and an overrun loses the newest bytes, not the oldest.
    QObject::connect(device_.get(), &QSerialPort::readyRead, device_.get(), [this] { drain(); });
    QObject::connect(device_.get(), &QSerialPort::errorOccurred, device_.get(), [this](QSerialPort::SerialPortError e) {
        if (e == QSerialPort::ResourceError) vanished_ = true;
    });
}

QtSerialPort::~QtSerialPort() = default;

std::string QtSerialPort::deviceName() const { return device_->isOpen() ? openPath_ : map_->pathOf(CommPort()); }

QtSerialPort::DeviceState QtSerialPort::deviceState() const {
    if (!device_->isOpen()) return DeviceState::Closed;
    return vanished_ || deviceHungUp() || nameLeadsElsewhere() ? DeviceState::Vanished : DeviceState::Open;
}

void QtSerialPort::openDevice(std::int16_t number, const SerialSettings& settings) {
    try {
        openOrThrow(number, settings);
        lastOpenFailure_.reset();
        lost_ = false;
    } catch (const Failure& failure) {
        lastOpenFailure_ = failure;
        throw;
    }
}

void QtSerialPort::openOrThrow(std::int16_t number, const SerialSettings& settings) {
    const std::string path = map_->pathOf(number);
    openPath_ = path;
    // The name is looked up once: the lock and the line are both opened by
    // what it leads to now.
    const QString device = deviceNameOf(path);
    device_->setPortName(device);
    // The lock every program of the project takes, before the device is
    // opened and its line set: QSerialPort's own lock file and exclusive use
    // keep out neither root nor a program without that lock file.
    if (const DeviceLock lock = lock_.take(device.toStdString()); lock.result != DeviceLock::Taken) {
        if (lock.result == DeviceLock::Held) throw deviceFailure(FailureNumber::DeviceBusy, "another program holds a lock on it");
        throw deviceFailure(FailureNumber::DeviceFailure, "cannot lock: " + lock.why);
    }
    if (!device_->open(QIODevice::ReadWrite)) {
        lock_.release();
        // QSerialPort reports a busy device and a forbidden one alike; the
        // file system tells them apart.
        if (::access(path.c_str(), F_OK) != 0) throw deviceFailure(FailureNumber::NoSuchDevice);
        if (::access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES)
            throw deviceFailure(FailureNumber::PermissionDenied);
        switch (device_->error()) {
            case QSerialPort::DeviceNotFoundError: throw deviceFailure(FailureNumber::NoSuchDevice);
            case QSerialPort::PermissionError: throw deviceFailure(FailureNumber::DeviceBusy);
            default: throw deviceFailure(FailureNumber::DeviceFailure, qtError(*device_));
        }
    }
    const auto line = toLineSettings(settings);
    if (!line || !applyLineSettings(*device_, *line)) {
        const std::string why = line ? qtError(*device_) : "not supported by the serial driver";
        device_->close();
        lock_.release();
        throw deviceFailure(FailureNumber::SettingsNotSupported, why);
    }
    // The device node may have gone and come back as another line between
    // the two opens: the lock would guard one device and the port read another.
    struct stat opened {};
    struct stat locked {};
    const bool known = ::fstat(static_cast<int>(device_->handle()), &opened) == 0;
    if (!known || (lock_.descriptor() >= 0 && (::fstat(lock_.descriptor(), &locked) != 0 ||
                                               locked.st_rdev != opened.st_rdev || locked.st_ino != opened.st_ino))) {
        device_->close();
        lock_.release();
        throw deviceFailure(FailureNumber::DeviceFailure, "the name led to another device while it was opened");
    }
    openDevice_ = opened.st_rdev;
    // What waited in the device before it was opened answers no request of ours.
    device_->clear(QSerialPort::Input);
    received_.clear();
}

// The name the port was opened by leads nowhere now, or to another device.
bool QtSerialPort::nameLeadsElsewhere() const {
    if (!device_->isOpen()) return false;
    struct stat now {};
    return ::stat(openPath_.c_str(), &now) != 0 || now.st_rdev != openDevice_;
}

// The port is closed while it is reconfigured, yet the refusal belongs to the
// settings write, where the control reports it and puts the old values back;
// found only at the next open it would leave the port silently shut. So a
// closed device is asked now, when it can be opened; when it cannot, the
// open will tell.
std::string QtSerialPort::refusalOf(const SerialSettings& settings) {
    const auto line = toLineSettings(settings);
    if (!line) return "not supported by the serial driver";
    if (device_->isOpen()) {
        if (applyLineSettings(*device_, *line)) return {};
        const std::string why = qtError(*device_);
        if (const auto previous = toLineSettings(this->settings())) applyLineSettings(*device_, *previous);
        return why;
    }
    // A device another program polls is not set from here; the open will tell.
    HeldDeviceLock probeLock;
    if (probeLock.take(map_->pathOf(CommPort())).result != DeviceLock::Taken) return {};
    QSerialPort probe;
    probe.setPortName(deviceNameOf(map_->pathOf(CommPort())));
    if (!probe.open(QIODevice::ReadWrite)) return {};
    std::string refusal;
    if (!applyLineSettings(probe, *line)) refusal = qtError(probe);
    probe.close();
    return refusal;
}

void QtSerialPort::writeDevice(std::string_view bytes) {
    if (device_->write(bytes.data(), static_cast<qint64>(bytes.size())) < 0) {
        const std::string why = qtError(*device_);
        vanished_ = true;  // a device that takes no write is gone
        closeDevice();
        throw deviceFailure(FailureNumber::DeviceFailure, why);
    }
    device_->flush();  // writes what the driver takes now; never waits
}

void QtSerialPort::readDevice(std::string& into, std::size_t room) {
    drain();
    const std::size_t kept = std::min(room, received_.size());
    into.append(received_, 0, kept);
    overrun_ += received_.size() - kept;
    received_.clear();
}

// A hung-up or removed device reports itself through poll() even before a
// read has failed.
bool QtSerialPort::deviceHungUp() const {
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

bool QtSerialPort::lost() const {
    return lost_ || (device_->isOpen() && (vanished_ || deviceHungUp() || nameLeadsElsewhere()));
}

void QtSerialPort::closeDevice() {
    // Closed because the device went away, or by the control's own close.
    if (device_->isOpen()) lost_ = vanished_ || deviceHungUp() || nameLeadsElsewhere();
    if (device_->isOpen()) device_->close();
    lock_.release();
    vanished_ = false;
    received_.clear();
}

}  // namespace orva::qt
