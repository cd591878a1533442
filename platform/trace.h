#pragma once
// The wire trace for field support: what the control sent and received, what
// it did to the port and with what result, what it decoded and why, and the
// events it raised, one line each. Off unless a platform gives the control a
// Trace; then every trace point costs one pointer test and nothing more.

#include <string>
#include <string_view>

namespace orva {

class Trace {
public:
    virtual ~Trace() = default;
    // One line, without its line end; the implementation adds the time.
    virtual void line(std::string_view text) = 0;
};

// Bytes as printable text between quotes: printable ASCII as it is, \\ and
// \" escaped, \r \n \t by name, every other byte as \xHH.
std::string escapedBytes(std::string_view bytes);

}  // namespace orva
