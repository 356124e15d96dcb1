#include "json/number.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>

#include "json/portable.hpp"

namespace tessik::json {

// Literals, not computed values: the table must hold exactly what the
// compiler gives 1ek, and repeated multiplication would drift.
const double POW10[309] = {
    1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9,
    1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19,
    1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28, 1e29,
    1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38, 1e39,
    1e40, 1e41, 1e42, 1e43, 1e44, 1e45, 1e46, 1e47, 1e48, 1e49,
    1e50, 1e51, 1e52, 1e53, 1e54, 1e55, 1e56, 1e57, 1e58, 1e59,
    1e60, 1e61, 1e62, 1e63, 1e64, 1e65, 1e66, 1e67, 1e68, 1e69,
    1e70, 1e71, 1e72, 1e73, 1e74, 1e75, 1e76, 1e77, 1e78, 1e79,
    1e80, 1e81, 1e82, 1e83, 1e84, 1e85, 1e86, 1e87, 1e88, 1e89,
    1e90, 1e91, 1e92, 1e93, 1e94, 1e95, 1e96, 1e97, 1e98, 1e99,
    1e100, 1e101, 1e102, 1e103, 1e104, 1e105, 1e106, 1e107, 1e108, 1e109,
    1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116, 1e117, 1e118, 1e119,
    1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129,
    1e130, 1e131, 1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139,
    1e140, 1e141, 1e142, 1e143, 1e144, 1e145, 1e146, 1e147, 1e148, 1e149,
    1e150, 1e151, 1e152, 1e153, 1e154, 1e155, 1e156, 1e157, 1e158, 1e159,
    1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167, 1e168, 1e169,
    1e170, 1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178, 1e179,
    1e180, 1e181, 1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189,
    1e190, 1e191, 1e192, 1e193, 1e194, 1e195, 1e196, 1e197, 1e198, 1e199,
    1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207, 1e208, 1e209,
    1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219,
    1e220, 1e221, 1e222, 1e223, 1e224, 1e225, 1e226, 1e227, 1e228, 1e229,
    1e230, 1e231, 1e232, 1e233, 1e234, 1e235, 1e236, 1e237, 1e238, 1e239,
    1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246, 1e247, 1e248, 1e249,
    1e250, 1e251, 1e252, 1e253, 1e254, 1e255, 1e256, 1e257, 1e258, 1e259,
    1e260, 1e261, 1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269,
    1e270, 1e271, 1e272, 1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279,
    1e280, 1e281, 1e282, 1e283, 1e284, 1e285, 1e286, 1e287, 1e288, 1e289,
    1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298, 1e299,
    1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308,
};

namespace {

using Byte = unsigned char;

// s × 10 + d overflows u64 past this significand (or at it, for d > 5).
constexpr std::uint64_t kSignificandLimit = std::numeric_limits<std::uint64_t>::max() / 10;

inline bool is_digit(Byte c) noexcept { return static_cast<unsigned>(c - '0') < 10; }

inline bool fits(std::uint64_t s, unsigned d) noexcept {
    return s < kSignificandLimit || (s == kSignificandLimit && d <= 5);
}

using digits::eight_digits_value;
using digits::leading_digits_value;
using digits::load8;

// How many of the eight bytes lead with digits.
inline unsigned leading_digits(std::uint64_t w) noexcept {
    const std::uint64_t t = digits::non_digits(w);
    return t == 0 ? 8 : static_cast<unsigned>(std::countr_zero(t)) / 8;
}

constexpr std::uint64_t kPow10u[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// Up to kRunLimit[n], n more digits always fit.
constexpr std::uint64_t run_limit(unsigned n) {
    return (std::numeric_limits<std::uint64_t>::max() - (kPow10u[n] - 1)) / kPow10u[n];
}
constexpr auto kRunLimit = [] {
    std::array<std::uint64_t, 9> limits{};
    for (unsigned n = 0; n < limits.size(); ++n) limits[n] = run_limit(n);
    return limits;
}();

// Appends the run of digits at p to s while they surely fit: eight at a
// time, then a shorter rest of the run in one step. Stops at the first
// non-digit, within the input's last eight bytes, or where a digit might
// not fit; the caller's digit-by-digit loop goes on from there.
inline const Byte* take_digits(const Byte* p, const Byte* end, std::uint64_t& s) noexcept {
    while (end - p >= 8) {
        const std::uint64_t w = load8(p);
        const unsigned n = leading_digits(w);
        if (n == 8) {
            if (s > kRunLimit[8]) break;
            s = s * 100000000 + eight_digits_value(w);
            p += 8;
            continue;
        }
        if (n != 0 && s <= kRunLimit[n]) {
            s = s * kPow10u[n] + leading_digits_value(w, n);
            p += n;
        }
        break;
    }
    return p;
}

inline std::int32_t clamp32(std::int64_t e) noexcept {
    if (e > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (e < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(e);
}

inline Number make_double(double f) noexcept { return *Number::from_double(f); }

}  // namespace

bool scale_by_power_of_ten(std::uint64_t s, std::int32_t e, double& out) noexcept {
    double f = static_cast<double>(s);
    for (;;) {
        const std::uint32_t a = e < 0 ? 0u - static_cast<std::uint32_t>(e) : static_cast<std::uint32_t>(e);
        if (a <= 308) {
            if (e >= 0) {
                f *= POW10[a];
                if (std::isinf(f)) return false;
            } else {
                f /= POW10[a];
            }
            break;
        }
        if (f == 0.0) break;
        if (e >= 0) return false;
        f /= POW10[308];
        e += 308;
    }
    out = f;
    return true;
}

bool parse_number(const Byte*& cursor, const Byte* end, Number& out, NumberError& err,
                  ShortDecimal* decimal) noexcept {
    const Byte* p = cursor;
    const auto fail = [&](ErrorCode code, PositionRule rule) {
        cursor = p;
        err = {code, rule};
        return false;
    };

    const bool negative = *p == '-';
    if (negative) ++p;

    std::uint64_t s = 0;
    // Decimal exponent so far; 64 bits so that counting digits cannot
    // overflow before it is narrowed.
    std::int64_t e = 0;
    bool truncated = false;
    // The integer part's first digits from one load when they do not start
    // with a zero; one to seven digits and nothing after them, the
    // commonest literal, is done here.
    bool integer_read = false;
    bool more_digits = false;  // the integer part may go on at p
    if (end - p >= 8 && *p != '0') {
        const std::uint64_t w = load8(p);
        const unsigned n = leading_digits(w);
        if (n == 8) {
            s = eight_digits_value(w);
            p += 8;
            integer_read = more_digits = true;
        } else if (n != 0) {
            s = leading_digits_value(w, n);
            p += n;
            if (*p != '.' && (*p | 0x20) != 'e') {
                out = negative ? Number::from_i64(-static_cast<std::int64_t>(s)) : Number::from_u64(s);
                cursor = p;
                return true;
            }
            integer_read = true;
        }
    }
    if (!integer_read) {
        if (p == end) return fail(ErrorCode::EofWhileParsingValue, PositionRule::Consumed);
        const Byte first = *p++;
        if (!is_digit(first)) return fail(ErrorCode::InvalidNumber, PositionRule::Consumed);
        s = first - '0';
        if (first == '0') {
            if (p != end && is_digit(*p)) return fail(ErrorCode::InvalidNumber, PositionRule::Peek);
        } else {
            more_digits = true;
        }
    }
    if (more_digits) {
        p = take_digits(p, end, s);
        while (p != end && is_digit(*p)) {
            const unsigned d = *p - '0';
            if (!fits(s, d)) {
                // Long integer: the remaining digits only scale.
                truncated = true;
                do {
                    ++p;
                    ++e;
                } while (p != end && is_digit(*p));
                break;
            }
            ++p;
            s = s * 10 + d;
        }
    }

    const bool has_fraction = p != end && *p == '.';
    if (has_fraction) {
        ++p;
        const Byte* digits = p;
        p = take_digits(p, end, s);
        std::int64_t k = p - digits;
        while (p != end && is_digit(*p)) {
            const unsigned d = *p - '0';
            if (!fits(s, d)) {
                do ++p;
                while (p != end && is_digit(*p));
                break;
            }
            ++p;
            s = s * 10 + d;
            ++k;
        }
        if (p == digits) {
            return fail(p == end ? ErrorCode::EofWhileParsingValue : ErrorCode::InvalidNumber,
                        PositionRule::Peek);
        }
        e -= k;
    }

    const bool has_exponent = p != end && (*p == 'e' || *p == 'E');
    if (!has_fraction && !has_exponent && !truncated) {
        if (!negative) {
            out = Number::from_u64(s);
        } else if (s == 0) {
            out = make_double(-0.0);
        } else if (s <= std::uint64_t{1} << 63) {
            out = Number::from_i64(static_cast<std::int64_t>(0 - s));
        } else {
            out = make_double(-static_cast<double>(s));
        }
        cursor = p;
        return true;
    }

    if (decimal != nullptr && !has_exponent && !truncated && s != 0 && s < ShortDecimal::kSignificandLimit &&
        -e <= ShortDecimal::kMaxFractionDigits) {
        // Fraction digits beyond the significand's reach are skipped with s
        // at or above the limit, so the digits here are all of them.
        decimal->significand = s;
        decimal->fraction_digits = static_cast<unsigned>(-e);
        // The one division that scaling would make.
        const double f = static_cast<double>(s) / POW10[-e];
        out = make_double(negative ? -f : f);
        cursor = p;
        return true;
    }
    std::int32_t exponent = clamp32(e);
    if (has_exponent) {
        ++p;
        bool negative_exponent = false;
        if (p != end && (*p == '+' || *p == '-')) {
            negative_exponent = *p == '-';
            ++p;
        }
        if (p == end) return fail(ErrorCode::EofWhileParsingValue, PositionRule::Consumed);
        const Byte lead = *p++;
        if (!is_digit(lead)) return fail(ErrorCode::InvalidNumber, PositionRule::Consumed);
        std::int32_t x = lead - '0';
        while (p != end && is_digit(*p)) {
            const int d = *p++ - '0';
            if (x > 214748364 || (x == 214748364 && d > 7)) {
                // The exponent alone exceeds 32 bits: overflow, or zero.
                if (s != 0 && !negative_exponent) {
                    return fail(ErrorCode::NumberOutOfRange, PositionRule::Consumed);
                }
                while (p != end && is_digit(*p)) ++p;
                out = make_double(negative ? -0.0 : 0.0);
                cursor = p;
                return true;
            }
            x = x * 10 + d;
        }
        exponent = clamp32(static_cast<std::int64_t>(exponent) + (negative_exponent ? -x : x));
    }

    double f;
    if (!scale_by_power_of_ten(s, exponent, f)) {
        return fail(ErrorCode::NumberOutOfRange, PositionRule::Consumed);
    }
    out = make_double(negative ? -f : f);
    cursor = p;
    return true;
}

}  // namespace tessik::json
