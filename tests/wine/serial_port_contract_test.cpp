// The serial port contract against the Win32 port under Wine: COM1 of the
// prefix is the simulated terminal's pseudo-terminal (tests/wine/terminal.py).

#include "platform/win32/serial_port.h"
#include "tests/support/serial_port_contract.h"
#include "tests/wine/host_support.h"

namespace orva::contract {
namespace {

struct WineComPortRig {
    WineComPortRig() {
        if (host::settings().liveTerminal) host::setTerminalWeight("  7.250");
    }
    std::string unavailable() { return host::settings().liveTerminal ? "" : "no terminal on COM1"; }
    std::unique_ptr<SerialPort> makePort() { return std::make_unique<win32::Win32SerialPort>(); }
    std::int16_t missingPort() { return 9; }
    // A valid text Wine's serial driver refuses (no 4-bit characters).
    std::string refusedSettings() { return "9600,n,4,1"; }
    std::string frame() { return "\x02WW  7.250kg\r\n"; }
    void floodNext(std::size_t bytes) { host::setTerminalWeight("#flood " + std::to_string(bytes)); }
    // The terminal hangs up at the next request and comes back on a new
    // pseudo-terminal; the open handle stays on the old one.
    void hangUp(SerialPort& open) {
        host::setTerminalWeight("#hangup");
        open.Output("\n");
        host::pumpFor(300);
    }
    void wait(int ms) { host::pumpFor(ms); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Win32UnderWine, SerialPortContract, ::testing::Types<WineComPortRig>);

}  // namespace
}  // namespace orva::contract
