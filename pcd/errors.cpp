#include "pcd/errors.hpp"

#include <cstdint>
#include <stdexcept>

namespace veloxel {

void fail(const std::string& message) {
    throw std::runtime_error(message);
}

void fail_unsupported_type() {
    fail("Unsupported PCD type/size");
}

void fail_too_long() {
    throw std::length_error("vector too long");
}

namespace {

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0 if there is none.
size_t utf8_sequence_length(std::string_view s) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    size_t n;
    uint32_t cp;
    if (b0 < 0x80) return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
        cp = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        cp = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        cp = b0 & 0x07u;
    } else {
        return 0;
    }
    if (s.size() < n) return 0;
    for (size_t i = 1; i < n; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3Fu);
    }
    const bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    if (overlong || surrogate || cp > 0x10FFFF) return 0;
    return n;
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    static constexpr char hex[] = "0123456789abcdef";
    while (!text.empty()) {
        const size_t n = utf8_sequence_length(text);
        if (n == 0) {
            const auto b = static_cast<unsigned char>(text[0]);
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 0xF];
            text.remove_prefix(1);
        } else {
            out.append(text.substr(0, n));
            text.remove_prefix(n);
        }
    }
    return out;
}

}  // namespace veloxel
