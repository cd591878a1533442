#pragma once
// One contract for every serial port object: the same cases run unchanged
// against the line in virtual time, the Qt port on a pseudo-terminal and the
// Win32 port under Wine. Each implementation provides a rig:
//
//   struct Rig {
//       std::string unavailable();                      // why the rig cannot run here, or empty
//       std::unique_ptr<orva::SerialPort> makePort();  // closed, on port 1: the terminal
//       std::int16_t missingPort();                     // a number with no device behind it
//       std::string refusedSettings();                  // a valid text this device will not take
//       std::string frame();                            // the terminal's answer to a line feed
//       void floodNext(std::size_t bytes);              // the next answer is that many bytes
//                                                       // (the device must hold more than the
//                                                       // port object's input buffer, so the
//                                                       // cap a read meets is the port's own)
//       void hangUp(orva::SerialPort& open);            // the device goes away under the open port
//       void wait(int ms);                              // time passes for the line
//   };
//
// Include this header in one test file per implementation, then
//   INSTANTIATE_TYPED_TEST_SUITE_P(Name, SerialPortContract, ::testing::Types<Rig>);

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/checked_serial_port.h"
#include "platform/failure.h"
#include "platform/serial_port.h"

namespace orva::contract {

inline std::int32_t failureOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const Failure& failure) {
        return failure.number();
    }
    return 0;
}

constexpr std::int32_t number(FailureNumber n) { return static_cast<std::int32_t>(n); }

template <class Rig>
class SerialPortContract : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = rig.unavailable(); !why.empty()) GTEST_SKIP() << why;
    }
    Rig rig;
};

TYPED_TEST_SUITE_P(SerialPortContract);

TYPED_TEST_P(SerialPortContract, OpensClosesAndRefusesASecondOpen) {
    auto port = this->rig.makePort();
    EXPECT_FALSE(port->PortOpen());
    EXPECT_EQ(port->CommPort(), 1);
    EXPECT_EQ(port->Settings(), "9600,n,8,1");
    port->setPortOpen(false);  // closing a closed port is no failure
    port->setPortOpen(true);
    EXPECT_TRUE(port->PortOpen());
    EXPECT_EQ(failureOf([&] { port->setPortOpen(true); }), number(FailureNumber::PortAlreadyOpen));
    EXPECT_TRUE(port->PortOpen());
    port->setPortOpen(false);
    EXPECT_FALSE(port->PortOpen());
    port->setPortOpen(true);  // and again
    EXPECT_TRUE(port->PortOpen());
}

TYPED_TEST_P(SerialPortContract, NumberChangesOnlyWhileClosedAndWithinRange) {
    auto port = this->rig.makePort();
    port->setPortOpen(true);
    // The state is checked before the range.
    EXPECT_EQ(failureOf([&] { port->setCommPort(2); }), number(FailureNumber::PortNumberWhileOpen));
    EXPECT_EQ(failureOf([&] { port->setCommPort(0); }), number(FailureNumber::PortNumberWhileOpen));
    EXPECT_EQ(port->CommPort(), 1);
    port->setPortOpen(false);
    EXPECT_EQ(failureOf([&] { port->setCommPort(0); }), number(FailureNumber::InvalidPortNumber));
    EXPECT_EQ(failureOf([&] { port->setCommPort(-32768); }), number(FailureNumber::InvalidPortNumber));
    EXPECT_EQ(port->CommPort(), 1);
    const std::int16_t missing = this->rig.missingPort();
    port->setCommPort(missing);
    EXPECT_EQ(port->CommPort(), missing);
    EXPECT_EQ(failureOf([&] { port->setPortOpen(true); }), number(FailureNumber::NoSuchDevice));
    EXPECT_FALSE(port->PortOpen());
    port->setCommPort(1);
    port->setPortOpen(true);
    EXPECT_TRUE(port->PortOpen());
}

TYPED_TEST_P(SerialPortContract, SettingsOfTheWrongFormAreRefusedOpenOrClosed) {
    auto port = this->rig.makePort();
    for (const bool open : {false, true}) {
        port->setPortOpen(open);
        for (const char* text : {"9600,x,8,1", "9600,n,9,1", "0,n,8,1", "9600,n,8", "9600, n,8,1", ""})
            EXPECT_EQ(failureOf([&] { port->setSettings(text); }), number(FailureNumber::InvalidSettings)) << text;
        EXPECT_EQ(port->Settings(), open ? "19200,N,8,2" : "9600,n,8,1");
        port->setSettings("19200,N,8,2");  // kept letter for letter
        EXPECT_EQ(port->Settings(), "19200,N,8,2");
        EXPECT_EQ(port->PortOpen(), open);
    }
}

TYPED_TEST_P(SerialPortContract, SettingsTheDeviceCannotTakeAreRefusedWhenWritten) {
    const std::string refused = this->rig.refusedSettings();
    auto port = this->rig.makePort();
    // Closed: the device is asked at the write, not at the next open.
    EXPECT_EQ(failureOf([&] { port->setSettings(refused); }), number(FailureNumber::SettingsNotSupported));
    EXPECT_EQ(port->Settings(), "9600,n,8,1");
    port->setPortOpen(true);
    EXPECT_EQ(failureOf([&] { port->setSettings(refused); }), number(FailureNumber::SettingsNotSupported));
    EXPECT_EQ(port->Settings(), "9600,n,8,1");
    // The port stays open on its previous settings and still reads.
    EXPECT_TRUE(port->PortOpen());
    port->Output("\n");
    this->rig.wait(250);
    EXPECT_EQ(port->Input(), this->rig.frame());
}

TYPED_TEST_P(SerialPortContract, OutputAndInputNeedAnOpenPort) {
    auto port = this->rig.makePort();
    EXPECT_EQ(failureOf([&] { port->Output("\n"); }), number(FailureNumber::PortNotOpen));
    EXPECT_EQ(failureOf([&] { (void)port->Input(); }), number(FailureNumber::PortNotOpen));
    port->setPortOpen(true);
    port->setPortOpen(false);
    EXPECT_EQ(failureOf([&] { port->Output("\n"); }), number(FailureNumber::PortNotOpen));
    EXPECT_EQ(failureOf([&] { (void)port->Input(); }), number(FailureNumber::PortNotOpen));
}

TYPED_TEST_P(SerialPortContract, InputTakesWhatArrivedSinceTheLastReadWithoutWaiting) {
    auto port = this->rig.makePort();
    port->setPortOpen(true);
    EXPECT_EQ(port->Input(), "");
    port->Output("\n");
    EXPECT_EQ(port->Input(), "");  // the answer cannot be there yet
    this->rig.wait(250);
    EXPECT_EQ(port->Input(), this->rig.frame());
    EXPECT_EQ(port->Input(), "");
    port->Output("\n\n");
    this->rig.wait(250);
    EXPECT_EQ(port->Input(), this->rig.frame() + this->rig.frame());
}

TYPED_TEST_P(SerialPortContract, InputIsCappedAndWhatArrivesBeyondIsLost) {
    auto port = this->rig.makePort();
    port->setPortOpen(true);
    this->rig.floodNext(5000);
    port->Output("\n");
    this->rig.wait(400);
    const std::string first = port->Input();
    // Exactly the port object's buffer: more means the cap was lifted, less
    // that the device's own buffer decided it.
    EXPECT_EQ(first.size(), CheckedSerialPort::kInputBufferSize);
    EXPECT_EQ(first.rfind(this->rig.frame(), 0), 0u) << "the oldest bytes are kept";
    this->rig.wait(200);
    EXPECT_EQ(port->Input(), "") << "the rest of the flood was dropped";
}

TYPED_TEST_P(SerialPortContract, ADeviceThatDisappearsFailsOnceThenReadsClosed) {
    auto port = this->rig.makePort();
    port->setPortOpen(true);
    this->rig.hangUp(*port);
    // The first operation that touches the device fails with 7010 ...
    std::int32_t first = failureOf([&] { port->Output("\n"); });
    if (first == 0) first = failureOf([&] { (void)port->Input(); });
    EXPECT_EQ(first, number(FailureNumber::DeviceFailure));
    // ... and from then on the port is closed until it is opened again.
    EXPECT_FALSE(port->PortOpen());
    EXPECT_EQ(failureOf([&] { (void)port->Input(); }), number(FailureNumber::PortNotOpen));
    EXPECT_EQ(failureOf([&] { port->Output("\n"); }), number(FailureNumber::PortNotOpen));
}

REGISTER_TYPED_TEST_SUITE_P(SerialPortContract, OpensClosesAndRefusesASecondOpen,
                            NumberChangesOnlyWhileClosedAndWithinRange, SettingsOfTheWrongFormAreRefusedOpenOrClosed,
                            SettingsTheDeviceCannotTakeAreRefusedWhenWritten, OutputAndInputNeedAnOpenPort,
                            InputTakesWhatArrivedSinceTheLastReadWithoutWaiting,
                            InputIsCappedAndWhatArrivesBeyondIsLost,
                            ADeviceThatDisappearsFailsOnceThenReadsClosed);

}  // namespace orva::contract
