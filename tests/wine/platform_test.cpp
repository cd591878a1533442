// The Windows platform seams on their own, under Wine: the serial port on a
// COM port of the prefix, the timers on their message-only window, the
// locale and the text conversions at the COM boundary.
#include <gtest/gtest.h>

#include "platform/failure.h"
#include "platform/win32/notice.h"
#include "platform/win32/serial_port.h"
#include "platform/win32/timers.h"
#include "tests/wine/host_support.h"

namespace {

using orva::Failure;
using orva::FailureNumber;
using orva::win32::Win32SerialPort;

int failureNumber(const std::function<void()>& step) {
    try {
        step();
    } catch (const Failure& failure) {
        return failure.number();
    }
    return 0;
}

TEST(Win32Text, Utf8AndUtf16RoundTrip) {
    const std::string utf8 = "\xd1\x81\xd0\xbe\xd0\xbc \xd0\xbf\xd0\xbe\xd1\x80\xd1\x82: 9600,n,8,1";
    const std::wstring wide = orva::win32::widen(utf8);
    EXPECT_EQ(L"\u0441\u043e\u043c \u043f\u043e\u0440\u0442: 9600,n,8,1", wide);
    EXPECT_EQ(utf8, orva::win32::narrow(wide));
    EXPECT_EQ(L"", orva::win32::widen(""));
}

TEST(Win32Locale, DecimalSeparatorOfTheUserLocale) {
    orva::win32::Win32Locale locale;
    wchar_t expected[8] = {};
    ::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, expected, 8);
    EXPECT_EQ(orva::win32::narrow(expected), locale.decimalSeparator());
}

TEST(Win32SerialPortClosed, RefusesWhatNeedsAnOpenPortAndKeepsSettingsRules) {
    Win32SerialPort port;
    EXPECT_EQ(1, port.CommPort());
    EXPECT_FALSE(port.PortOpen());
    EXPECT_EQ("9600,n,8,1", port.Settings());
    EXPECT_EQ(7001, failureNumber([&] { port.Output("\n"); }));
    EXPECT_EQ(7001, failureNumber([&] { port.Input(); }));
    EXPECT_EQ(7005, failureNumber([&] { port.setSettings("9600,x,8,1"); }));
    EXPECT_EQ("9600,n,8,1", port.Settings());  // a refused text changes nothing
    port.setSettings("19200,E,7,2");
    EXPECT_EQ("19200,E,7,2", port.Settings());  // kept letter for letter
    EXPECT_EQ(7004, failureNumber([&] { port.setCommPort(0); }));
    port.setPortOpen(false);  // closing a closed port is no failure
}

TEST(Win32SerialPortClosed, MissingDeviceFailsWithTheSystemsMessage) {
    Win32SerialPort port;
    port.setCommPort(9);
    try {
        port.setPortOpen(true);
        FAIL() << "COM9 opened";
    } catch (const Failure& failure) {
        EXPECT_EQ(static_cast<int>(FailureNumber::NoSuchDevice), failure.number());
        EXPECT_EQ(0u, failure.description().find("No such device: COM9: ")) << failure.description();
        EXPECT_NE(std::string::npos, failure.description().find("(system error ")) << failure.description();
    }
    EXPECT_FALSE(port.PortOpen());
}

class Win32SerialPortLive : public testing::Test {
protected:
    void SetUp() override {
        if (!host::settings().liveTerminal) GTEST_SKIP() << "no terminal on COM1";
        host::setTerminalWeight("  7.250");
    }
};

TEST_F(Win32SerialPortLive, PollAndReadWithoutWaiting) {
    Win32SerialPort port;
    port.setPortOpen(true);
    ASSERT_TRUE(port.PortOpen());
    EXPECT_EQ(7002, failureNumber([&] { port.setPortOpen(true); }));
    EXPECT_EQ(7003, failureNumber([&] { port.setCommPort(2); }));

    // Nothing asked yet: a read returns at once with nothing.
    const DWORD before = ::GetTickCount();
    EXPECT_EQ("", port.Input());
    EXPECT_LT(::GetTickCount() - before, 200u);

    port.Output("\n");
    std::string received;
    host::pumpUntil(
        [&] {
            received += port.Input();
            return received.size() >= 14;
        },
        3000);
    EXPECT_EQ(std::string("\x02WW  7.250kg\r\n"), received);

    // Settings apply to the open port; a refused text leaves it as it was.
    port.setSettings("19200,e,7,1");
    EXPECT_EQ("19200,e,7,1", port.Settings());
    EXPECT_EQ(7005, failureNumber([&] { port.setSettings("19200,e,9,1"); }));
    EXPECT_EQ("19200,e,7,1", port.Settings());

    // Closing gives the device back: another port object opens it. (Whether
    // a second open is refused while the first is held is the driver's
    // business; Wine does not refuse it on a pseudo-terminal.)
    port.setPortOpen(false);
    EXPECT_FALSE(port.PortOpen());
    Win32SerialPort second;
    second.setPortOpen(true);
    EXPECT_TRUE(second.PortOpen());
}

TEST(Win32Timers, TickOnTheThreadAtTheirIntervalUntilDisabled) {
    orva::win32::Win32TimerFactory factory;
    int fast = 0, slow = 0;
    auto a = factory.makeTimer([&] { ++fast; });
    auto b = factory.makeTimer([&] { ++slow; });
    a->setInterval(50);
    b->setInterval(300);
    EXPECT_FALSE(a->Enabled());
    host::pumpFor(150);
    EXPECT_EQ(0, fast);  // created disabled
    a->setEnabled(true);
    b->setEnabled(true);
    host::pumpFor(700);
    // A loaded machine delivers fewer ticks (they coalesce), never more.
    EXPECT_GE(fast, 3);
    EXPECT_LE(fast, 15);
    EXPECT_GE(slow, 1);
    EXPECT_LE(slow, 3);
    a->setEnabled(false);
    const int stopped = fast;
    host::pumpFor(200);
    EXPECT_EQ(stopped, fast);

    // A timer that disables itself and enables another inside its tick, as
    // the poll cycle does.
    int chained = 0;
    std::unique_ptr<orva::IntervalTimer> first, second;
    first = factory.makeTimer([&] {
        first->setEnabled(false);
        second->setEnabled(true);
    });
    second = factory.makeTimer([&] {
        second->setEnabled(false);
        ++chained;
    });
    first->setInterval(30);
    second->setInterval(30);
    first->setEnabled(true);
    host::pumpFor(400);
    EXPECT_EQ(1, chained);

    // A timer destroyed while enabled never ticks again.
    b.reset();
    host::pumpFor(400);
    EXPECT_NE(nullptr, factory.window());
}

}  // namespace
