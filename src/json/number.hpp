// Number literals: which Number form a literal takes and exactly which
// double it yields. Doubles are composed by a fixed power-of-ten scaling,
// one IEEE operation at a time, so that every build gives the same bits.
#pragma once

#include <cstdint>

#include "json/error.hpp"
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

}  // namespace tessik::json
