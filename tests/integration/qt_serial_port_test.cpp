// The serial port object on real pseudo-terminals: opening, refusing,
// reading without blocking, overruns and a device that goes away.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <sys/file.h>

#include "hosts/qt/port_state.h"
#include "platform/failure.h"
#include "platform/qt/qt_serial_port.h"
#include "tests/support/event_loop.h"
#include "tests/support/terminal_on_pty.h"

namespace orva::testing {
namespace {

class SerialPortOnPty : public ::testing::Test, protected TerminalOnPty {
protected:
    SerialPortOnPty() : TerminalOnPty(quickReplies()) {}
    void SetUp() override {
        startTerminal("weight 2.5\n");
        map->map(2, (dir.path() + "/absent").toStdString());
    }

    std::int32_t failureOf(const std::function<void()>& operation) {
        try {
            operation();
        } catch (const Failure& failure) {
            lastDescription = failure.description();
            return failure.number();
        }
        return 0;
    }

    std::string lastDescription;
};

constexpr auto number = [](FailureNumber n) { return static_cast<std::int32_t>(n); };

TEST_F(SerialPortOnPty, OpenFailuresAreDistinctAndNameTheDevice) {
    qt::QtSerialPort port(map);
    port.setCommPort(2);
    EXPECT_EQ(failureOf([&] { port.setPortOpen(true); }), number(FailureNumber::NoSuchDevice));
    EXPECT_NE(lastDescription.find(dir.path().toStdString() + "/absent"), std::string::npos) << lastDescription;
    EXPECT_FALSE(port.PortOpen());

    port.setCommPort(1);
    port.setPortOpen(true);
    EXPECT_EQ(failureOf([&] { port.setPortOpen(true); }), number(FailureNumber::PortAlreadyOpen));
    EXPECT_EQ(failureOf([&] { port.setCommPort(2); }), number(FailureNumber::PortNumberWhileOpen));
    EXPECT_EQ(failureOf([&] { port.setCommPort(0); }), number(FailureNumber::PortNumberWhileOpen));

    qt::QtSerialPort second(map);
    EXPECT_EQ(failureOf([&] { second.setPortOpen(true); }), number(FailureNumber::DeviceBusy));
    EXPECT_NE(lastDescription.find(simulator->devicePath()), std::string::npos) << lastDescription;

    port.setPortOpen(false);
    EXPECT_EQ(failureOf([&] { port.setCommPort(0); }), number(FailureNumber::InvalidPortNumber));
}

TEST_F(SerialPortOnPty, PermissionIsRefusedWithItsOwnError) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may open any device";
    FILE* file = std::fopen((dir.path() + "/plain").toStdString().c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    ::chmod((dir.path() + "/plain").toStdString().c_str(), 0);
    map->map(3, (dir.path() + "/plain").toStdString());
    qt::QtSerialPort port(map);
    port.setCommPort(3);
    EXPECT_EQ(failureOf([&] { port.setPortOpen(true); }), number(FailureNumber::PermissionDenied));
}

// Whether the line discipline of this kernel's pseudo-terminals keeps
// seven data bits with parity; some refuse them, as a device may.
bool ptyTakesSevenBitsEven(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return true;
    termios mode{};
    ::tcgetattr(fd, &mode);
    const termios saved = mode;
    mode.c_cflag = (mode.c_cflag & ~CSIZE) | CS7 | PARENB;
    const bool taken = ::tcsetattr(fd, TCSANOW, &mode) == 0;
    ::tcsetattr(fd, TCSANOW, &saved);
    ::close(fd);
    return taken;
}

TEST_F(SerialPortOnPty, RefusedSettingsKeepThePreviousOnes) {
    qt::QtSerialPort port(map);
    port.setSettings("19200,N,8,2");  // letter case is kept as given
    EXPECT_EQ(port.Settings(), "19200,N,8,2");
    EXPECT_EQ(failureOf([&] { port.setSettings("9600,x,8,1"); }), number(FailureNumber::InvalidSettings));
    EXPECT_EQ(failureOf([&] { port.setSettings("9600,n,4,1"); }), number(FailureNumber::SettingsNotSupported));
    EXPECT_EQ(port.Settings(), "19200,N,8,2");

    // A closed port asks the device, so the refusal comes with the write.
    if (!ptyTakesSevenBitsEven(simulator->devicePath())) {
        EXPECT_EQ(failureOf([&] { port.setSettings("9600,e,7,1"); }), number(FailureNumber::SettingsNotSupported));
        EXPECT_NE(lastDescription.find(simulator->devicePath()), std::string::npos) << lastDescription;
        EXPECT_EQ(port.Settings(), "19200,N,8,2");
    }

    port.setPortOpen(true);
    EXPECT_EQ(failureOf([&] { port.setSettings("9600,n,8,1.5"); }), number(FailureNumber::SettingsNotSupported));
    EXPECT_EQ(port.Settings(), "19200,N,8,2");
    port.setSettings("4800,n,8,1");
    EXPECT_EQ(port.Settings(), "4800,n,8,1");
    EXPECT_TRUE(port.PortOpen());
}

TEST_F(SerialPortOnPty, ReadsNeverWaitAndTakeEverythingSinceTheLastRead) {
    qt::QtSerialPort port(map);
    EXPECT_EQ(failureOf([&] { port.Output("\n"); }), number(FailureNumber::PortNotOpen));
    EXPECT_EQ(failureOf([&] { (void)port.Input(); }), number(FailureNumber::PortNotOpen));
    port.setPortOpen(true);

    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(port.Input(), "");
    port.Output("\n");
    EXPECT_EQ(port.Input(), "");  // the answer cannot be there yet
    EXPECT_LT(clock.elapsed(), 50);

    runFor(150);
    EXPECT_EQ(port.Input(), "\x02WW    2.5kg\r\n");
    EXPECT_EQ(port.Input(), "");
}

TEST_F(SerialPortOnPty, AFloodKeepsTheFirstBufferfulAndDropsTheRest) {
    simulator->addScript(sim::parseScript("flood 5000\n"));
    qt::QtSerialPort port(map);
    port.setPortOpen(true);
    port.Output("\n");
    runFor(200);
    const std::string first = port.Input();
    EXPECT_EQ(first.size(), qt::QtSerialPort::kInputBufferSize);
    EXPECT_EQ(first.rfind("\x02WW    2.5kg\r\n", 0), 0u);
    EXPECT_EQ(port.overrunBytes(), 5000u - qt::QtSerialPort::kInputBufferSize);
    runFor(50);
    EXPECT_EQ(port.Input(), "");
}

TEST_F(SerialPortOnPty, ADeviceThatGoesAwayFailsReadsAndReportsThePortClosed) {
    simulator->addScript(sim::parseScript("hold 1\nunplug\nsleep 300\nreplug\n"));
    qt::QtSerialPort port(map);
    port.setPortOpen(true);
    port.Output("\n");
    runUntil([&] { return !simulator->plugged(); }, 1000);
    ASSERT_FALSE(simulator->plugged());
    runFor(20);

    EXPECT_FALSE(port.PortOpen());
    EXPECT_EQ(failureOf([&] { (void)port.Input(); }), number(FailureNumber::DeviceFailure));
    EXPECT_EQ(failureOf([&] { port.setPortOpen(true); }), number(FailureNumber::NoSuchDevice));

    ASSERT_TRUE(runUntil([&] { return simulator->plugged(); }, 1000));
    port.setPortOpen(true);
    port.Output("\n");
    runFor(100);
    EXPECT_EQ(port.Input(), "\x02WW    2.5kg\r\n");
}

// Every program of the project takes one lock on the device, which root
// honours too: a descriptor holding it (as the service holds its devices)
// keeps this port off, and this port's open keeps the next taker off.
TEST_F(SerialPortOnPty, OneLockKeepsEveryProgramOffAHeldDevice) {
    const int other = ::open(simulator->devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    qt::QtSerialPort port(map);
    EXPECT_EQ(failureOf([&] { port.setPortOpen(true); }), number(FailureNumber::DeviceBusy));
    EXPECT_NE(lastDescription.find(simulator->devicePath()), std::string::npos) << lastDescription;
    EXPECT_EQ(host::portState(port).reason, "in use by another program");
    // A closed port asked for settings while another program polls the
    // device leaves that program's line alone.
    termios before{};
    ASSERT_EQ(::tcgetattr(other, &before), 0);
    port.setSettings("19200,n,8,1");
    termios after{};
    ASSERT_EQ(::tcgetattr(other, &after), 0);
    EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
    ::close(other);

    port.setPortOpen(true);
    ASSERT_TRUE(port.PortOpen());
    const int next = ::open(simulator->devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(next, 0);
    EXPECT_NE(::flock(next, LOCK_EX | LOCK_NB), 0) << "the port's open took no lock";
    port.setPortOpen(false);
    EXPECT_EQ(::flock(next, LOCK_EX | LOCK_NB), 0) << "the port's close kept the lock";
    ::close(next);
}

// After an unplug the state says so, not that a poll is awaited as during
// a reconfiguration; a failed open then names its own reason.
TEST_F(SerialPortOnPty, AnUnpluggedDeviceIsToldAsGoneNotAsAwaitingAPoll) {
    simulator->addScript(sim::parseScript("hold 1\nunplug\nsleep 300\nreplug\n"));
    qt::QtSerialPort port(map);
    port.setPortOpen(true);
    port.Output("\n");
    ASSERT_TRUE(runUntil([&] { return !simulator->plugged(); }, 1000));
    runFor(20);
    const std::string gone = "the device went away (unplugged, or its far end closed); the next poll opens it again";
    EXPECT_EQ(host::portState(port).reason, gone);
    EXPECT_EQ(failureOf([&] { (void)port.Input(); }), number(FailureNumber::DeviceFailure));
    EXPECT_EQ(host::portState(port).reason, gone);
    EXPECT_EQ(failureOf([&] { port.setPortOpen(true); }), number(FailureNumber::NoSuchDevice));
    EXPECT_EQ(host::portState(port).reason, "no such device");

    ASSERT_TRUE(runUntil([&] { return simulator->plugged(); }, 1000));
    port.setPortOpen(true);
    EXPECT_TRUE(host::portState(port).open);
    port.setPortOpen(false);  // the control's own close, for a reconfiguration
    EXPECT_EQ(host::portState(port).reason, "waiting for the next poll to open it");
}

}  // namespace
}  // namespace orva::testing
