#include "hosts/keyed_text.h"

#include <cstdio>
#include <stdexcept>

namespace orva::host {
namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

}  // namespace

std::string_view trimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string unquoteText(std::string_view text) {
    std::string out;
    std::size_t i = 1;  // past the opening quote
    for (; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) break;
        switch (text[i]) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'x': {
                const int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
                const int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
                if (high < 0 || low < 0) throw std::invalid_argument("\\x needs two hexadecimal digits");
                out += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default: throw std::invalid_argument(std::string("unknown escape \\") + text[i]);
        }
    }
    if (i >= text.size()) throw std::invalid_argument("unterminated string");
    if (!trimBlanks(text.substr(i + 1)).empty()) throw std::invalid_argument("text after the closing quote");
    return out;
}

std::string quoteText(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (isControl(c)) {
                    char escaped[5];
                    std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string quoteWhenNeeded(std::string_view text) {
    bool plain = !text.empty() && trimBlanks(text) == text && text.find_first_of("\"\\#;") == std::string_view::npos;
    for (const char c : text) plain = plain && !isControl(c);
    return plain ? std::string(text) : quoteText(text);
}

}  // namespace orva::host
