// Number literals: which Number form a literal takes and exactly which
// double it yields. Doubles are composed by a fixed power-of-ten scaling,
// one IEEE operation at a time, so that every build gives the same bits.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "json/error.hpp"
#include "json/portable.hpp"
#include "json/value.hpp"

namespace tessik::json {

// How an error's byte position follows from the index where it was found.
enum class PositionRule : std::uint8_t {
    Peek,      // the offending byte is at the index and has not been read
    Consumed,  // the index is just after the last byte read
};

struct NumberError {
    ErrorCode code;
    PositionRule rule;
};

// POW10[k] is the double nearest to 10^k, as the literal 1ek gives it.
extern const double POW10[309];

// s × 10^e by the fixed composition: one multiplication or division by a
// table entry, repeated divisions by 1e308 below 10^-308. Not correctly
// rounded, by design. False when the result overflows.
bool scale_by_power_of_ten(std::uint64_t s, std::int32_t e, double& out) noexcept;

// A literal written as digits, a point and at most 22 more digits, with no
// exponent, whose digits without the point make a nonzero significand below
// 2^35. Its double is significand / 10^fraction_digits correctly rounded
// (one division of exact operands), and with at most 11 significant digits
// those digits are the only shortest ones that read back as that double.
struct ShortDecimal {
    static constexpr std::uint64_t kSignificandLimit = std::uint64_t{1} << 35;
    static constexpr unsigned kMaxFractionDigits = 22;
    std::uint64_t significand = 0;  // 0: not such a literal
    unsigned fraction_digits = 0;
};

// Reads one literal starting at `p`, which points at "-" or a digit. On
// success stores the number and leaves `p` on the first byte that does not
// continue the literal. On failure fills `err` and leaves `p` at the index
// its position rule applies to.
// When `decimal` is given, it describes a successfully read ShortDecimal.
bool parse_number(const unsigned char*& p, const unsigned char* end, Number& out,
                  NumberError& err, ShortDecimal* decimal = nullptr) noexcept;

namespace digits {

// The eight bytes at p, the first in the lowest byte.
inline std::uint64_t load8(const unsigned char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = portable::byteswap64(w);
    return w;
}

// Zero when the eight bytes are all digits, else its lowest set bit is in
// the first byte that is not. A digit byte has high nibble 3 and does not
// carry out when 6 is added; only a byte after the first non-digit can
// take a carry, so the first non-digit is exact.
inline std::uint64_t non_digits(std::uint64_t w) noexcept {
    return ((w & 0xF0F0F0F0F0F0F0F0) | (((w + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) >> 4)) ^
           0x3333333333333333;
}

// The value of eight ASCII digits, the first the most significant: the
// multiply-and-shift combination of pairs, then quads.
inline std::uint32_t eight_digits_value(std::uint64_t w) noexcept {
    w -= 0x3030303030303030;
    w = (w * 10) + (w >> 8);
    w = (((w & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
         (((w >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >>
        32;
    return static_cast<std::uint32_t>(w);
}

// The value of the first n (1 to 7) digits of w: moved to the top, '0's
// filling in below them.
inline std::uint32_t leading_digits_value(std::uint64_t w, unsigned n) noexcept {
    return eight_digits_value((w << (64 - 8 * n)) | (0x3030303030303030 >> (8 * n)));
}

}  // namespace digits

// parse_number with its commonest literal read in place: one to seven
// digits, not led by a zero, after an optional sign, and nothing after
// them that continues the literal. The call costs more than reading such a
// literal; any other is read from its start again by parse_number.
TESSIK_ALWAYS_INLINE bool read_number_literal(const unsigned char*& cursor, const unsigned char* end, Number& out,
                                              NumberError& err, ShortDecimal* decimal) noexcept {
    const unsigned char* p = cursor;
    const bool negative = *p == '-';
    p += negative ? 1 : 0;
    if (end - p >= 8 && *p != '0') {
        const std::uint64_t w = digits::load8(p);
        const std::uint64_t t = digits::non_digits(w);
        if (t != 0) {
            const unsigned n = static_cast<unsigned>(std::countr_zero(t)) / 8;
            if (n != 0 && p[n] != '.' && (p[n] | 0x20) != 'e') {
                const std::uint32_t s = digits::leading_digits_value(w, n);
                out = negative ? Number::from_i64(-static_cast<std::int64_t>(s)) : Number::from_u64(s);
                cursor = p + n;
                return true;
            }
        }
    }
    return parse_number(cursor, end, out, err, decimal);
}

}  // namespace tessik::json
