#include "hosts/utf8.h"

namespace orva::host {

Utf8Sequence utf8SequenceAt(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    char32_t min = 0;
    if (lead >= 0xc2 && lead <= 0xdf) length = 2, min = 0x80;
    else if (lead >= 0xe0 && lead <= 0xef) length = 3, min = 0x800;
    else if (lead >= 0xf0 && lead <= 0xf4) length = 4, min = 0x10000;
    else return {};
    if (i + length > text.size()) return {};
    char32_t code = lead & (0x7f >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xc0) != 0x80) return {};
        code = (code << 6) | (byte(i + k) & 0x3f);
    }
    if (code < min || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff) return {};
    return {length, code};
}

}  // namespace orva::host
