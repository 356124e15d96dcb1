// Compact JSON text: no whitespace, members in position order, a fixed
// escape table and shortest round-trip doubles in a fixed layout.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "json/buffer.hpp"
#include "json/value.hpp"

namespace tessik::json {

// Longest texts the formatters produce.
inline constexpr std::size_t max_u64_chars = 20;
inline constexpr std::size_t max_double_chars = 24;
inline constexpr std::size_t max_number_chars = 25;

// Decimal digits of n into out (room for max_u64_chars); returns the length.
std::size_t format_u64(std::uint64_t n, char* out) noexcept;

// Text of a finite double into out (room for max_double_chars); returns the
// length. Shortest round-trip digits, fixed notation for exponents -5..15,
// otherwise d.ddde±x.
std::size_t format_double(double x, char* out) noexcept;

// The same text for the double read from a short decimal literal (see
// ShortDecimal): its digits are the literal's, without trailing zeros.
std::size_t format_short_decimal(bool negative, std::uint64_t significand, unsigned fraction_digits,
                                 char* out) noexcept;

// The compact text of a number (room for max_number_chars).
std::size_t format_number(const Number& n, char* out) noexcept;

std::string format_u64(std::uint64_t n);
std::string format_double(double x);

namespace detail {

// Escape letter per byte; 0 means the byte is copied as it stands.
constexpr std::array<char, 256> make_escape_table() {
    std::array<char, 256> t{};
    for (int b = 0; b < 0x20; ++b) t[b] = 'u';
    t[0x08] = 'b';
    t[0x09] = 't';
    t[0x0A] = 'n';
    t[0x0C] = 'f';
    t[0x0D] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}
inline constexpr std::array<char, 256> ESCAPE = make_escape_table();
inline constexpr char HEX_DIGITS[] = "0123456789abcdef";

}  // namespace detail

// The writer's escape sequence for one byte into out (room for 6 chars):
// its length, or 0 when the byte is written as it stands.
inline std::size_t escape_sequence(unsigned char c, char* out) noexcept {
    const char esc = detail::ESCAPE[c];
    if (esc == 0) return 0;
    out[0] = '\\';
    out[1] = esc;
    if (esc != 'u') return 2;
    out[2] = '0';
    out[3] = '0';
    out[4] = detail::HEX_DIGITS[c >> 4];
    out[5] = detail::HEX_DIGITS[c & 0xF];
    return 6;
}

// Appends the compact text of the value. Cannot fail short of memory.
void write_to_buffer(const Value& value, Buffer& out);

// The same text appended to a message under construction.
void append_plain_text(const Value& value, std::string& message);

}  // namespace tessik::json
