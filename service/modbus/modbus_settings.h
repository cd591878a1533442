#pragma once
// The [modbus] section of the service's configuration, and the Modbus keys
// of each scale's section. Strict like the rest of the file: an unknown key
// or a value that does not fit stops the start (or the reload) with its line
// and the reason.
//
//   [modbus]
//   listen          host:port (default 127.0.0.1:502; 502 needs CAP_NET_BIND_SERVICE)
//   allow_from      comma-separated addresses or CIDR blocks, IPv4 and IPv6
//                   (default: loopback only)
//   max_clients     clients at once (default 16); the next is closed at once
//   idle_timeout_ms a client that asks nothing this long is closed (default 60000)
//   word_order      big (default: high word first, "ABCD") or little ("CDAB")
//
//   [<scale>]
//   modbus_unit     1..247, the unit identifier that reads it (default: the
//                   scale's place in the file, 1-based); one scale per unit
//   modbus_decimals 0..6, the decimals of its int32 registers (default 3)

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "service/face_registry.h"
#include "service/allow_list.h"

namespace orva::modbus {

struct ModbusSettings final : orva::service::FaceSettings {
    static constexpr int kDefaultMaxClients = 16;
    static constexpr int kDefaultIdleTimeoutMs = 60000;
    static constexpr int kDefaultDecimals = 3;

    std::string host = "127.0.0.1";
    std::uint16_t port = 502;
    orva::service::AllowList allowFrom = orva::service::AllowList::loopbackOnly();
    int maxClients = kDefaultMaxClients;
    int idleTimeoutMs = kDefaultIdleTimeoutMs;
    bool littleEndianWords = false;  // word_order = little: low word first
    // The scales of the file by unit, and the decimals of each scale.
    std::map<int, std::string> units;
    std::map<std::string, int> decimals;

    // A descriptor per client, the listening socket, and the pair libmodbus
    // answers into.
    long descriptors() const override { return maxClients + 3L; }

    // What a running server cannot take without a restart differs.
    bool sameListener(const ModbusSettings& o) const {
        return host == o.host && port == o.port && maxClients == o.maxClients;
    }
};

// Null when the file has no [modbus] section (the scales' keys are still
// checked). Throws orva::service::FaceSettingsError.
std::shared_ptr<const ModbusSettings> parseModbusSettings(const orva::service::FaceInput& input);

}  // namespace orva::modbus
