#pragma once
// Which client addresses a face of the service answers: a list of
// addresses and CIDR blocks, IPv4 and IPv6, as written in a configuration
// key ("192.168.10.0/24, 10.1.2.3, fd00::/8"). An IPv4 client that reaches
// an IPv6 socket shows as "::ffff:a.b.c.d" and is matched as the IPv4
// address it is, so one list holds whatever socket the face listens on.

#include <QHostAddress>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orva::service {

class AllowList {
public:
    // Comma-separated addresses and CIDR blocks. Returns std::nullopt and
    // sets *error (when given) to a one-line reason for the first bad entry.
    static std::optional<AllowList> parse(std::string_view text, std::string* error);
    static AllowList everyone();
    static AllowList loopbackOnly();  // 127.0.0.0/8 and ::1

    bool allows(const QHostAddress& peer) const;
    // The list as it is matched ("everyone", or the blocks): for the log.
    std::string describe() const;

    bool operator==(const AllowList&) const = default;

private:
    struct Block {
        bool v4 = true;
        std::array<std::uint8_t, 16> bytes{};  // the first 4 for IPv4
        int prefix = 0;                        // leading bits that must match

        bool operator==(const Block&) const = default;
    };
    static bool matches(const Block& block, bool v4, const std::array<std::uint8_t, 16>& bytes);

    bool everyone_ = false;
    std::vector<Block> blocks_;
};

}  // namespace orva::service
