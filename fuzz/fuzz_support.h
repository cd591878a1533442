#pragma once
// Shared pieces of the fuzz targets: a reader that turns the fuzzer's bytes
// into typed values (running out of bytes gives zeros, never a failure), and
// the checks that end the run loudly when an invariant breaks.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace orva::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool done() const { return pos_ >= size_; }
    std::size_t remaining() const { return size_ - pos_; }

    std::uint8_t byte() { return done() ? 0 : data_[pos_++]; }
    std::int16_t int16() {
        const auto lo = byte();
        const auto hi = byte();
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
    }
    std::int32_t int32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(byte()) << (8 * i);
        return static_cast<std::int32_t>(v);
    }
    double float64() {
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(byte()) << (8 * i);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    // A length byte, then that many bytes (fewer when the input ends).
    std::string chunk() {
        const std::size_t length = std::min<std::size_t>(byte(), remaining());
        std::string out(reinterpret_cast<const char*>(data_ + pos_), length);
        pos_ += length;
        return out;
    }
    std::string rest() {
        std::string out(reinterpret_cast<const char*>(data_ + pos_), remaining());
        pos_ = size_;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// An invariant broke: say which, and crash so the fuzzer keeps the input.
[[noreturn]] inline void broken(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "INVARIANT BROKEN: %s %s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void require(bool holds, const char* what, const std::string& detail = {}) {
    if (!holds) broken(what, detail);
}

inline std::string shown(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out + "\"";
}

inline std::string shown(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// The few largest doubles round up to a 15-digit text beyond the double
// range, which reads back as an infinity (an automation host's number texts
// do the same). No decoded weight comes near them: at most six significant
// digits from ORVA-2, at most seven characters from ORVA-1.
inline bool hasFifteenDigitText(double value) {
    return std::isfinite(value) && std::fabs(value) <= 1.79769313486231e308;
}

// A text read back gives the weight to within 15 significant digits.
inline bool readsBackAs(std::optional<double> parsed, double weight) {
    if (!parsed || !std::isfinite(*parsed)) return false;
    const double tolerance = std::max(std::fabs(weight) * 1e-14, std::numeric_limits<double>::denorm_min());
    return std::fabs(*parsed - weight) <= tolerance;
}

}  // namespace orva::fuzz
