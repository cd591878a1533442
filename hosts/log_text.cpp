#include "hosts/log_text.h"

#include "hosts/utf8.h"

namespace orva::host {
namespace {

// A well-formed sequence is kept, unless it is one of the C1 controls or the
// line and paragraph separators that a viewer may act on.
std::size_t printableSequence(std::string_view text, std::size_t i) {
    const Utf8Sequence s = utf8SequenceAt(text, i);
    if ((s.code >= 0x80 && s.code <= 0x9f) || s.code == 0x2028 || s.code == 0x2029) return 0;
    return s.length;
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
            if (const std::size_t n = printableSequence(text, i)) {
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

}  // namespace orva::host
