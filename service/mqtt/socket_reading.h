#pragma once
// How much the client library has read from its TCP socket so far: the
// bytes the kernel received in order, less those still waiting in the
// socket. It lets the link see how large a packet being read is growing
// without reading the socket itself.

#include <cstdint>
#include <optional>

namespace orva::mqtt {

// Bytes the application has taken from the connected TCP socket fd; none
// when the kernel does not tell.
std::optional<std::uint64_t> bytesTaken(int fd);

}  // namespace orva::mqtt
