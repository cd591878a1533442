#include "service/http/log_text.h"

namespace orva::service {
namespace {

// The length of the well-formed UTF-8 sequence at text[i] (2..4), or 0.
std::size_t utf8Sequence(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned min = 0;
    if (lead >= 0xc2 && lead <= 0xdf) length = 2, min = 0x80;
    else if (lead >= 0xe0 && lead <= 0xef) length = 3, min = 0x800;
    else if (lead >= 0xf0 && lead <= 0xf4) length = 4, min = 0x10000;
    else return 0;
    if (i + length > text.size()) return 0;
    unsigned code = lead & (0x7f >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xc0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3f);
    }
    // No overlong form, no surrogate, nothing past U+10FFFF, and none of the
    // line and paragraph separators or C1 controls a viewer may act on.
    if (code < min || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff) return 0;
    if ((code >= 0x80 && code <= 0x9f) || code == 0x2028 || code == 0x2029) return 0;
    return length;
}

}  // namespace

std::string escapeForLog(std::string_view text) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c >= 0x80) {
            if (const std::size_t n = utf8Sequence(text, i)) {
                out.append(text.substr(i, n));
                i += n;
                continue;
            }
        }
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 15];
        ++i;
    }
    return out;
}

}  // namespace orva::service
