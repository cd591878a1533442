#pragma once
// The serial port object the poll cycle drives. Only the five operations the
// control uses are here. Every operation may throw orva::Failure; the poll
// cycle runs them under its skip-on-failure rule.

#include <cstdint>
#include <string>
#include <string_view>

namespace orva {

class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Port number. Settable only while the port is closed.
    virtual std::int16_t CommPort() const = 0;
    virtual void setCommPort(std::int16_t number) = 0;

    // Read: whether the port is open. Write true: open (fails on an open port);
    // write false: close (nothing happens on a closed port).
    virtual bool PortOpen() const = 0;
    virtual void setPortOpen(bool open) = 0;

    // "baud,parity,data,stop". A write validates the text and refuses an
    // invalid one, keeping the previous settings; a read gives back exactly
    // the text last accepted, letter case included.
    virtual std::string Settings() const = 0;
    virtual void setSettings(std::string_view text) = 0;

    // Send the bytes of the text. Fails while the port is closed.
    virtual void Output(std::string_view bytes) = 0;

    // Take everything received since the last read, one char per byte.
    // Fails while the port is closed.
    virtual std::string Input() = 0;
};

}  // namespace orva
