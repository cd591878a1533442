#pragma once
// What one client may cost the service: the limits of its HTTP connections
// and WebSocket clients, all set in the configuration's [service] section.

#include <cstdint>
#include <string>
#include <vector>

namespace orva::service {

struct ConnectionLimits {
    int maxHeaderBytes = 16 * 1024;         // max_header_bytes: request line and headers
    int maxHeaders = 100;                   // max_headers
    int maxBodyBytes = 64 * 1024;           // max_body_bytes, chunked or not
    int headerTimeoutMs = 10'000;           // header_timeout_ms: first byte to whole request
    int idleTimeoutMs = 60'000;             // idle_timeout_ms: keep-alive, and an unread answer
    int maxConnections = 1024;              // max_connections: HTTP connections in all
    int maxConnectionsPerAddress = 32;      // max_connections_per_address
    int maxWebSocketClients = 256;          // max_websocket_clients
    int maxWebSocketClientsPerAddress = 16; // max_websocket_clients_per_address
    int maxWebSocketMessageBytes = 4096;    // max_websocket_message_bytes: frames and whole messages
    int webSocketPingMs = 30'000;           // websocket_ping_ms; 2 pings unanswered close the client
    std::vector<std::string> allowHosts;    // allow_host: names the Host header may carry besides ours

    bool operator==(const ConnectionLimits&) const = default;
};

}  // namespace orva::service
