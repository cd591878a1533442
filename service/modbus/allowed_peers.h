#pragma once
// Who may connect to the Modbus face. Until the service's shared allow list
// is in, only the default (loopback) is known.

#include <QHostAddress>
#include <optional>
#include <string>
#include <string_view>

namespace orva::modbus {

class AllowedPeers {
public:
    static std::optional<AllowedPeers> parse(std::string_view, std::string* error) {
        if (error != nullptr) *error = "allow_from is not available in this build";
        return std::nullopt;
    }
    static AllowedPeers loopbackOnly() { return AllowedPeers(); }
    bool allows(const QHostAddress& peer) const { return peer.isLoopback(); }
    std::string describe() const { return "loopback only"; }
    bool operator==(const AllowedPeers&) const = default;
};

}  // namespace orva::modbus
