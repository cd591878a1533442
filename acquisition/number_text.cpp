#include "acquisition/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace orva {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Walks a text, optionally stepping over blanks wherever they stand.
class Cursor {
public:
    Cursor(std::string_view text, bool skipBlanks) : text_(text), skipBlanks_(skipBlanks) { settle(); }
    bool atEnd() const { return pos_ >= text_.size(); }
    char peek() const {
        if (!atEnd()) return text_[pos_];
        reachedEnd_ = true;
        return '\0';
    }
    // The reader looked past the last character: the text ended the number.
    bool reachedEnd() const { return reachedEnd_; }
    void advance() {
        ++pos_;
        settle();
    }
    bool take(char lower) {
        const char c = peek();
        if (c != lower && c != static_cast<char>(lower - 'a' + 'A')) return false;
        advance();
        return true;
    }
    std::size_t position() const { return pos_; }
    void rewind(std::size_t pos) { pos_ = pos; }

private:
    void settle() {
        while (skipBlanks_ && pos_ < text_.size() && isBlank(text_[pos_])) ++pos_;
    }
    std::string_view text_;
    std::size_t pos_ = 0;
    bool skipBlanks_;
    mutable bool reachedEnd_ = false;
};

int digitValue(char c, int base) {
    int v = -1;
    if (isDigit(c)) v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    return v < base ? v : -1;
}

// "&H..." or "&O...": the digits that follow, as an unsigned whole number.
std::optional<double> readPrefixed(Cursor& in, bool digitsRequired) {
    if (in.peek() != '&') return std::nullopt;
    const auto start = in.position();
    in.advance();
    int base = 0;
    if (in.take('h')) base = 16;
    else if (in.take('o')) base = 8;
    if (base == 0) {
        in.rewind(start);
        return std::nullopt;
    }
    double value = 0;
    int digits = 0;
    for (int d; (d = digitValue(in.peek(), base)) >= 0; in.advance(), ++digits) value = value * base + d;
    if (digits == 0 && digitsRequired) {  // "&H" alone: a weight field holds no number
        in.rewind(start);
        return std::nullopt;
    }
    return value;
}

// Sign, digits with at most one ".", optional exponent. Empty when no digit
// of a mantissa was found.
std::optional<double> readDecimal(Cursor& in) {
    bool negative = false;
    if (in.peek() == '+' || in.peek() == '-') {
        negative = in.peek() == '-';
        in.advance();
    }
    // Normalised copy for from_chars: digits, ".", digits, "e", exponent.
    std::string normal;
    int digits = 0;
    int magnitude = 0;  // decimal position of the leading nonzero digit, roughly
    bool seenNonZero = false;
    bool seenPoint = false;
    for (;; in.advance()) {
        const char c = in.peek();
        if (isDigit(c)) {
            ++digits;
            if (c != '0') seenNonZero = true;
            if (!seenPoint && seenNonZero) ++magnitude;
            if (seenPoint && !seenNonZero) --magnitude;
            normal.push_back(c);
        } else if (c == '.' && !seenPoint) {
            seenPoint = true;
            normal.push_back('.');
        } else {
            break;
        }
    }
    if (digits == 0) return std::nullopt;

    const auto beforeExponent = in.position();
    if (in.take('e') || in.take('d')) {
        std::string exponent = "e";
        if (in.peek() == '+' || in.peek() == '-') {
            exponent.push_back(in.peek());
            in.advance();
        }
        long exponentValue = 0;
        const bool exponentNegative = exponent.size() == 2 && exponent[1] == '-';
        for (; isDigit(in.peek()); in.advance()) {
            exponent.push_back(in.peek());
            if (exponentValue < 1'000'000) exponentValue = exponentValue * 10 + (in.peek() - '0');
        }
        if (exponent.size() > 1 && isDigit(exponent.back())) {
            normal += exponent;
            magnitude += static_cast<int>(exponentNegative ? -exponentValue : exponentValue);
        } else {
            in.rewind(beforeExponent);  // "1E" or "1E+": the number ends before the E
        }
    }

    double value = 0;
    const auto [end, error] =
        std::from_chars(normal.data(), normal.data() + normal.size(), value, std::chars_format::general);
    (void)end;
    if (error == std::errc::result_out_of_range)
        value = (seenNonZero && magnitude > 0) ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -value : value;
}

std::optional<double> readNumber(Cursor& in, bool digitsRequired) {
    if (auto prefixed = readPrefixed(in, digitsRequired)) return prefixed;
    return readDecimal(in);
}

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Shortest %.15g-like text of the value, "." as separator, "E" for the exponent.
std::size_t formatDigits(double weight, char* out, std::size_t size) {
    if (weight == 0) weight = 0;  // -0 has no sign on the panel
    const auto result = std::to_chars(out, out + size, weight, std::chars_format::general, 15);
    const auto length = static_cast<std::size_t>(result.ptr - out);
    for (std::size_t i = 0; i < length; ++i)
        if (out[i] == 'e') out[i] = 'E';
    return length;
}

}  // namespace

double parseLenientNumber(std::string_view field) { return readLenientNumber(field).value; }

LenientReading readLenientNumber(std::string_view field) {
    Cursor in(field, /*skipBlanks=*/true);
    const auto number = readNumber(in, /*digitsRequired=*/true);
    return {number.value_or(0.0), number.has_value(), in.reachedEnd()};
}

std::optional<double> parseWholeNumber(std::string_view text) {
    Cursor in(trimBlanks(text), /*skipBlanks=*/false);
    auto value = readNumber(in, /*digitsRequired=*/false);
    if (!value || !in.atEnd()) return std::nullopt;
    return value;
}

std::string displayText(double weight, std::string_view decimalSeparator) {
    char buffer[32];
    const std::size_t length = formatDigits(weight, buffer, sizeof buffer);
    std::string text;
    text.reserve(length + decimalSeparator.size());
    for (std::size_t i = 0; i < length; ++i) {
        if (buffer[i] == '.') text.append(decimalSeparator);
        else text.push_back(buffer[i]);
    }
    return text;
}

std::string propertyText(double weight) {
    char buffer[32];
    const std::size_t length = formatDigits(weight, buffer, sizeof buffer);
    std::string text;
    text.reserve(length + 1);
    if (!std::signbit(weight) || weight == 0) text.push_back(' ');
    text.append(buffer, length);
    return text;
}

}  // namespace orva
