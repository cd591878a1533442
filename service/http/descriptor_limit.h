#pragma once
// How many descriptors the service may hold, and what that leaves for
// clients. Every connection, WebSocket client, scale and client of another
// face (Modbus) holds one; a service out of descriptors cannot accept anyone,
// so the connection limits are kept below what the process may open.

#include <string>

#include "service/http/connection_limits.h"

namespace orva::service {

struct DescriptorLimit {
    long before = 0;  // the soft limit the service was started with
    long now = 0;     // after raising it to the hard limit
    long hard = 0;
};

// Raises the soft limit to the hard one (cheap, and allowed to any process).
DescriptorLimit raiseDescriptorLimit();

// The limits lowered, when needed, so that `scales` ports, what the other
// faces hold at most (`otherFaces`: Modbus clients, the broker ...), the
// WebSocket clients, the connections and a reserve fit into `descriptors`.
// `note` says what was lowered, or stays empty.
ConnectionLimits fitDescriptors(ConnectionLimits limits, long descriptors, int scales, long otherFaces, std::string& note);

}  // namespace orva::service
