// The serial port contract against the line in virtual time.

#include "platform/virtual/simulated_line.h"
#include "platform/virtual/virtual_clock.h"
#include "tests/support/serial_port_contract.h"

namespace orva::contract {
namespace {

struct VirtualLineRig {
    virtual_time::VirtualClock clock;
    virtual_time::SimulatedLine line{clock};
    const std::string answer = "\x02WW    2.5kg\r\n";

    VirtualLineRig() {
        line.setFrame(answer);
        line.setPortExists(2, false);
        line.refuseSettings("115200,n,8,1");
    }
    std::string unavailable() { return {}; }
    std::unique_ptr<SerialPort> makePort() { return line.makePort(); }
    std::int16_t missingPort() { return 2; }
    std::string refusedSettings() { return "115200,n,8,1"; }
    std::string frame() { return answer; }
    void floodNext(std::size_t bytes) {
        std::string flood;
        while (flood.size() < bytes) flood += answer;
        flood.resize(bytes);
        line.queueFrames({flood});
    }
    void hangUp(SerialPort&) { line.unplug(); }
    void wait(int ms) { clock.advanceTo(clock.now() + ms); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(VirtualLine, SerialPortContract, ::testing::Types<VirtualLineRig>);

}  // namespace
}  // namespace orva::contract
