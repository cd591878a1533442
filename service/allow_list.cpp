#include "service/allow_list.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

namespace orva::service {
namespace {

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// "::ffff:a.b.c.d": an IPv4 address as an IPv6 socket sees it.
bool isMappedV4(const std::array<std::uint8_t, 16>& b) {
    static constexpr std::uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(b.data(), kPrefix, sizeof kPrefix) == 0;
}

std::string text(bool v4, const std::array<std::uint8_t, 16>& bytes) {
    char out[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(v4 ? AF_INET : AF_INET6, bytes.data(), out, sizeof out);
    return out;
}

}  // namespace

std::optional<AllowList> AllowList::parse(std::string_view whole, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<AllowList> {
        if (error != nullptr) *error = why;
        return std::nullopt;
    };
    AllowList list;
    std::string_view rest = whole;
    for (;;) {
        const auto comma = rest.find(',');
        const std::string_view entry = trimmed(rest.substr(0, comma));
        if (entry.empty()) return fail(comma == std::string_view::npos && list.blocks_.empty()
                                           ? "names no address (give addresses or CIDR blocks, comma-separated)"
                                           : "an empty entry between commas");
        const auto slash = entry.find('/');
        const std::string address(entry.substr(0, slash));
        Block block;
        if (::inet_pton(AF_INET, address.c_str(), block.bytes.data()) == 1) {
            block.v4 = true;
            block.prefix = 32;
        } else if (::inet_pton(AF_INET6, address.c_str(), block.bytes.data()) == 1) {
            block.v4 = false;
            block.prefix = 128;
        } else {
            return fail("\"" + std::string(entry) + "\" is not an IPv4 or IPv6 address or CIDR block");
        }
        if (slash != std::string_view::npos) {
            const std::string_view bits = entry.substr(slash + 1);
            int prefix = -1;
            const auto [end, ec] = std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
            if (bits.empty() || ec != std::errc() || end != bits.data() + bits.size() || prefix < 0 || prefix > block.prefix)
                return fail("\"" + std::string(entry) + "\": the prefix length must be 0 to " + std::to_string(block.prefix));
            block.prefix = prefix;
        }
        // Bits past the prefix are a slip of the pen ("10.0.0.1/8"): the
        // block the operator meant is not guessed.
        const int size = block.v4 ? 4 : 16;
        for (int bit = block.prefix; bit < size * 8; ++bit)
            if ((block.bytes[static_cast<std::size_t>(bit / 8)] >> (7 - bit % 8)) & 1) {
                std::array<std::uint8_t, 16> base = block.bytes;
                for (int b = block.prefix; b < size * 8; ++b) base[static_cast<std::size_t>(b / 8)] &= static_cast<std::uint8_t>(~(1u << (7 - b % 8)));
                return fail("\"" + std::string(entry) + "\" has bits set past its prefix (the block is " +
                            text(block.v4, base) + "/" + std::to_string(block.prefix) + ")");
            }
        // A mapped IPv4 block is matched as the IPv4 block it names.
        if (!block.v4 && block.prefix >= 96 && isMappedV4(block.bytes)) {
            std::array<std::uint8_t, 16> v4{};
            std::memcpy(v4.data(), block.bytes.data() + 12, 4);
            block = Block{true, v4, block.prefix - 96};
        }
        list.blocks_.push_back(block);
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return list;
}

AllowList AllowList::everyone() {
    AllowList list;
    list.everyone_ = true;
    return list;
}

AllowList AllowList::loopbackOnly() {
    AllowList list;
    Block v4{true, {127, 0, 0, 0}, 8};
    Block v6{false, {}, 128};
    v6.bytes[15] = 1;
    list.blocks_ = {v4, v6};
    return list;
}

bool AllowList::matches(const Block& block, bool v4, const std::array<std::uint8_t, 16>& bytes) {
    if (block.v4 != v4) return false;
    const int whole = block.prefix / 8;
    if (std::memcmp(block.bytes.data(), bytes.data(), static_cast<std::size_t>(whole)) != 0) return false;
    const int rest = block.prefix % 8;
    if (rest == 0) return true;
    const auto mask = static_cast<std::uint8_t>(0xff << (8 - rest));
    return (block.bytes[static_cast<std::size_t>(whole)] & mask) == (bytes[static_cast<std::size_t>(whole)] & mask);
}

bool AllowList::allows(const QHostAddress& peer) const {
    if (everyone_) return true;
    std::array<std::uint8_t, 16> bytes{};
    bool v4 = false;
    if (peer.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 a = peer.toIPv4Address();
        bytes = {static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16), static_cast<std::uint8_t>(a >> 8),
                 static_cast<std::uint8_t>(a)};
        v4 = true;
    } else if (peer.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR a = peer.toIPv6Address();
        std::memcpy(bytes.data(), &a, 16);
        if (isMappedV4(bytes)) {
            std::memmove(bytes.data(), bytes.data() + 12, 4);
            std::memset(bytes.data() + 4, 0, 12);
            v4 = true;
        }
    } else {
        return false;  // no address (a socket already gone): nothing to allow
    }
    for (const Block& block : blocks_)
        if (matches(block, v4, bytes)) return true;
    return false;
}

std::string AllowList::describe() const {
    if (everyone_) return "everyone";
    std::string out;
    for (const Block& block : blocks_) {
        if (!out.empty()) out += ", ";
        out += text(block.v4, block.bytes);
        if (block.prefix != (block.v4 ? 32 : 128)) out += "/" + std::to_string(block.prefix);
    }
    return out;
}

}  // namespace orva::service
