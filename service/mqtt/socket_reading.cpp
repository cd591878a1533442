#include "service/mqtt/socket_reading.h"

// The kernel's own struct tcp_info: the C library's lacks the byte counts.
#include <linux/sockios.h>
#include <netinet/in.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstddef>

namespace orva::mqtt {
namespace {

std::optional<std::uint64_t> received(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
        return std::nullopt;
    return info.tcpi_bytes_received;
}

}  // namespace

std::optional<std::uint64_t> bytesTaken(int fd) {
    // Read the count around the queue's length: when bytes arrived in
    // between, the two counts differ, and the pair is read again.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const auto before = received(fd);
        int waiting = 0;
        if (!before || ioctl(fd, SIOCINQ, &waiting) != 0 || waiting < 0) return std::nullopt;
        const auto after = received(fd);
        if (after == before) return *before >= static_cast<std::uint64_t>(waiting) ? *before - waiting : 0;
    }
    return std::nullopt;
}

}  // namespace orva::mqtt
