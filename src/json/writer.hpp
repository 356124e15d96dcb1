// Compact JSON text: no whitespace, members in position order, a fixed
// escape table and shortest round-trip doubles in a fixed layout.
#pragma once

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

// Appends the compact text of the value. Cannot fail short of memory.
void write_to_buffer(const Value& value, Buffer& out);

// The same text appended to a message under construction.
void append_plain_text(const Value& value, std::string& message);

}  // namespace tessik::json
