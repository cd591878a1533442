#include "platform/trace.h"

namespace orva {

std::string escapedBytes(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            default:
                if (b >= 0x20 && b < 0x7F) {
                    out += c;
                } else {
                    out += "\\x";
                    out += kHex[b >> 4];
                    out += kHex[b & 0xF];
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace orva
