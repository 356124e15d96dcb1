// The quotient of the literal's digits and a power of ten to 64 bits by
// exact long division of natural numbers, its remainder kept as one sticky
// bit, then rounded once to the precision of the double it falls in. Slow
// next to from_chars (17 digits: 0.4 us near 1, 2.4 us on average over the
// whole range, against 20-60 ns); short literals take a single correctly
// rounded IEEE operation instead.
#include "json/nearest_double.hpp"

#include <bit>
#include <cfloat>
#include <cstdint>

#include "json/number.hpp"

namespace tessik::json {

namespace {

// Significant digits kept. Every midpoint between two doubles has at most
// 767 significant digits, so the digits past 800 can only tell that the
// value lies above the kept ones, never on which side of a midpoint.
constexpr std::int64_t kMaxDigits = 800;

// Past these decimal orders (the value lies in [10^(order-1), 10^order))
// every double rounds to infinity or to zero.
constexpr std::int64_t kMaxOrder = 310;   // DBL_MAX < 10^309
constexpr std::int64_t kMinOrder = -323;  // 10^-324 < 2^-1075, half the least subnormal

// A natural number in 32-bit limbs, least significant first. The largest
// operands stay under 3800 bits: 800 digits over 10^1123 scaled by 2^63.
class Natural {
public:
    explicit Natural(std::uint32_t v) noexcept : size_(v != 0 ? 1 : 0) { limb_[0] = v; }

    bool is_zero() const noexcept { return size_ == 0; }

    int bit_length() const noexcept {
        return size_ == 0 ? 0 : 32 * (size_ - 1) + static_cast<int>(std::bit_width(limb_[size_ - 1]));
    }

    // this × m + a
    void multiply_add(std::uint32_t m, std::uint32_t a) noexcept {
        std::uint64_t carry = a;
        for (int i = 0; i < size_; ++i) {
            const std::uint64_t t = std::uint64_t{limb_[i]} * m + carry;
            limb_[i] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        if (carry != 0) limb_[size_++] = static_cast<std::uint32_t>(carry);
    }

    void multiply_pow10(std::int64_t n) noexcept {
        constexpr std::uint32_t kPow5[14] = {1,      5,       25,       125,       625,        3125,       15625,
                                             78125,  390625,  1953125,  9765625,   48828125,   244140625,  1220703125};
        for (std::int64_t left = n; left > 0; left -= 13) multiply_add(kPow5[left < 13 ? left : 13], 0);
        shift_left(static_cast<int>(n));
    }

    void shift_left(int bits) noexcept {
        if (size_ == 0 || bits == 0) return;
        const int words = bits / 32, rest = bits % 32;
        if (rest != 0) {
            limb_[size_] = 0;
            for (int i = size_; i > 0; --i) limb_[i] = (limb_[i] << rest) | (limb_[i - 1] >> (32 - rest));
            limb_[0] <<= rest;
            if (limb_[size_] != 0) ++size_;
        }
        if (words != 0) {
            for (int i = size_ - 1; i >= 0; --i) limb_[i + words] = limb_[i];
            for (int i = 0; i < words; ++i) limb_[i] = 0;
            size_ += words;
        }
    }

    void shift_right_one() noexcept {
        for (int i = 0; i < size_; ++i)
            limb_[i] = (limb_[i] >> 1) | (i + 1 < size_ ? limb_[i + 1] << 31 : 0);
        if (size_ != 0 && limb_[size_ - 1] == 0) --size_;
    }

    bool at_least(const Natural& b) const noexcept {
        if (size_ != b.size_) return size_ > b.size_;
        for (int i = size_ - 1; i >= 0; --i)
            if (limb_[i] != b.limb_[i]) return limb_[i] > b.limb_[i];
        return true;
    }

    // this - b, for this at least b.
    void subtract(const Natural& b) noexcept {
        std::uint64_t borrow = 0;
        for (int i = 0; i < size_; ++i) {
            const std::uint64_t t = std::uint64_t{limb_[i]} - (i < b.size_ ? b.limb_[i] : 0) - borrow;
            limb_[i] = static_cast<std::uint32_t>(t);
            borrow = t >> 63;
        }
        while (size_ > 0 && limb_[size_ - 1] == 0) --size_;
    }

private:
    std::uint32_t limb_[128];
    int size_;
};

// Each operation rounds to double, not to a wider format (x87).
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD == 0
constexpr bool kDoubleOperations = true;
#else
constexpr bool kDoubleOperations = false;
#endif

inline bool is_digit(char c) noexcept { return static_cast<unsigned>(c - '0') < 10; }

// The double of sign × q × 2^-shift, q in [2^62, 2^64) and `sticky` set
// when a remainder below one unit of q was dropped: q rounded once to the
// precision of the double it lies in, fewer bits below the normal range.
double round_to_double(bool negative, std::uint64_t q, std::int64_t shift, bool sticky) noexcept {
    const std::uint64_t sign = std::uint64_t{negative} << 63;
    constexpr std::uint64_t kInfinity = std::uint64_t{0x7FF} << 52;
    const int length = static_cast<int>(std::bit_width(q));
    const std::int64_t e2 = length - 1 - shift;  // of the leading bit
    if (e2 > 1023) return std::bit_cast<double>(sign | kInfinity);
    const std::int64_t precision = e2 >= -1022 ? 53 : e2 + 1075;
    if (precision < 0) return std::bit_cast<double>(sign);
    const int drop = length - static_cast<int>(precision);  // 10 to 64
    std::uint64_t kept = drop == 64 ? 0 : q >> drop;
    const std::uint64_t rest = drop == 64 ? q : q & ((std::uint64_t{1} << drop) - 1);
    const std::uint64_t half = std::uint64_t{1} << (drop - 1);
    if (rest > half || (rest == half && (sticky || (kept & 1) != 0))) ++kept;
    constexpr std::uint64_t kHidden = std::uint64_t{1} << 52;
    if (precision < 53) return std::bit_cast<double>(sign | kept);  // in units of 2^-1074; 2^52 is the least normal
    std::int64_t biased = e2 + 1023;
    if (kept == 2 * kHidden) {
        kept = kHidden;
        ++biased;
    }
    if (biased > 2046) return std::bit_cast<double>(sign | kInfinity);
    return std::bit_cast<double>(sign | (static_cast<std::uint64_t>(biased) << 52) | (kept - kHidden));
}

}  // namespace

bool nearest_double(const char* first, const char* last, double& out) noexcept {
    const char* p = first;
    const bool negative = p != last && *p == '-';
    if (negative) ++p;

    // The kept digits as one number; value = digits × 10^scale.
    Natural digits(0);
    std::uint64_t chunk = 0;  // digits not yet in `digits`
    int chunk_size = 0;
    std::uint64_t leading = 0;  // the first 19 kept digits
    std::int64_t count = 0;     // kept digits, from the first nonzero one
    std::int64_t scale = 0;
    bool truncated = false;  // a nonzero digit past the kept ones
    auto take = [&](char c, bool fraction) {
        const unsigned d = static_cast<unsigned>(c - '0');
        if (count == 0 && d == 0) {
            if (fraction) --scale;
            return;
        }
        if (count == kMaxDigits) {
            truncated |= d != 0;
            if (!fraction) ++scale;
            return;
        }
        if (count < 19) leading = leading * 10 + d;
        ++count;
        if (fraction) --scale;
        chunk = chunk * 10 + d;
        if (++chunk_size == 9) {
            digits.multiply_add(1000000000, static_cast<std::uint32_t>(chunk));
            chunk = 0;
            chunk_size = 0;
        }
    };

    if (p == last || !is_digit(*p)) return false;
    if (*p == '0') {
        ++p;
        if (p != last && is_digit(*p)) return false;
    } else {
        while (p != last && is_digit(*p)) take(*p++, false);
    }
    if (p != last && *p == '.') {
        ++p;
        if (p == last || !is_digit(*p)) return false;
        while (p != last && is_digit(*p)) take(*p++, true);
    }
    if (p != last && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool negative_exponent = p != last && *p == '-';
        if (p != last && (*p == '-' || *p == '+')) ++p;
        if (p == last || !is_digit(*p)) return false;
        std::int64_t e = 0;
        // Beyond 10^9 the result is settled; the sum cannot overflow.
        for (; p != last && is_digit(*p); ++p)
            if (e < 1000000000) e = e * 10 + (*p - '0');
        scale += negative_exponent ? -e : e;
    }
    if (p != last) return false;

    if (count == 0 || count + scale < kMinOrder) {
        out = negative ? -0.0 : 0.0;
        return true;
    }
    if (count + scale > kMaxOrder) {
        out = negative ? -HUGE_VAL : HUGE_VAL;
        return true;
    }
    // Both operands exact as doubles: one correctly rounded operation.
    if (kDoubleOperations && count <= 19 && leading <= (std::uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
        const double s = static_cast<double>(leading);
        const double f = scale >= 0 ? s * POW10[scale] : s / POW10[-scale];
        out = negative ? -f : f;
        return true;
    }

    std::uint32_t unit = 1;
    for (int i = 0; i < chunk_size; ++i) unit *= 10;
    digits.multiply_add(unit, static_cast<std::uint32_t>(chunk));
    // q = floor(num / den) = floor(digits × 10^scale × 2^shift), with shift
    // chosen from the bit lengths so that q lies in [2^62, 2^64).
    Natural num = digits;
    Natural den(1);
    if (scale >= 0) num.multiply_pow10(scale);
    else den.multiply_pow10(-scale);
    const std::int64_t shift = 63 + den.bit_length() - num.bit_length();
    if (shift >= 0) num.shift_left(static_cast<int>(shift));
    else den.shift_left(static_cast<int>(-shift));
    den.shift_left(63);
    std::uint64_t q = 0;
    for (int bit = 63; bit >= 0; --bit) {
        if (num.at_least(den)) {
            num.subtract(den);
            q |= std::uint64_t{1} << bit;
        }
        den.shift_right_one();
    }
    out = round_to_double(negative, q, shift, truncated || !num.is_zero());
    return true;
}

}  // namespace tessik::json
