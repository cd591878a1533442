#include "service/http/descriptor_limit.h"

#include <sys/resource.h>

#include <algorithm>

namespace orva::service {
namespace {

// Standard streams, the listening socket, the broker, logs, timers, files
// written at a property write, the WebSocket handshakes under way.
constexpr long kReserve = 64;

}  // namespace

DescriptorLimit raiseDescriptorLimit() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return {};
    const auto clamp = [](rlim_t v) { return v == RLIM_INFINITY ? 1L << 20 : static_cast<long>(std::min<rlim_t>(v, 1L << 20)); };
    DescriptorLimit result{clamp(r.rlim_cur), clamp(r.rlim_cur), clamp(r.rlim_max)};
    if (r.rlim_cur < r.rlim_max) {
        rlimit raised = r;
        raised.rlim_cur = r.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) result.now = clamp(r.rlim_max);
    }
    return result;
}

ConnectionLimits fitDescriptors(ConnectionLimits limits, long descriptors, int scales, long otherFaces, std::string& note) {
    note.clear();
    // A scale's port, and the pseudo-terminal pair of a simulated one; then
    // what the other faces may hold at once.
    const long left = descriptors - kReserve - 2L * scales - std::max(0L, otherFaces);
    const long wanted = static_cast<long>(limits.maxConnections) + limits.maxWebSocketClients;
    if (wanted <= left) return limits;
    const long webSockets = std::max(1L, std::max(0L, left) * limits.maxWebSocketClients / wanted);
    const long connections = std::max(1L, left - webSockets);
    if (webSockets < limits.maxWebSocketClients || connections < limits.maxConnections) {
        note = "max_connections " + std::to_string(limits.maxConnections) + " -> " + std::to_string(connections) +
               ", max_websocket_clients " + std::to_string(limits.maxWebSocketClients) + " -> " + std::to_string(webSockets);
        limits.maxWebSocketClients = static_cast<int>(webSockets);
        limits.maxConnections = static_cast<int>(connections);
    }
    // Not even one connection and one WebSocket client fit: say so rather
    // than promise what the process cannot open.
    if (left < 2)
        note += "; even so, the scales and the other faces (" + std::to_string(std::max(0L, otherFaces)) +
                " descriptors) leave too few: raise the limit (LimitNOFILE) or lower [modbus] max_clients";
    return limits;
}

}  // namespace orva::service
