// Shortest round-trip digits by scaling with a 128-bit power of ten.
//
// A positive double is x = c × 2^q (c < 2^53). Its rounding interval holds
// the reals that read back as x: x ± half an ulp, ends included when c is
// even; for a power of two above the smallest normal the ulp below is half
// the ulp above ("irregular" spacing). With k = floor(log10(2^q)) the value
// V = x × 10^-k has its half ulp H = 2^(q-1) × 10^-k in [1/2, 5), so the
// interval V ± H is narrower than 10 and holds at most one multiple of 10.
//
// - If it holds one, that multiple is the answer: every decimal in the
//   interval with fewer digits than the integers around V is a multiple of
//   10 (V ≥ 1), and there is only one.
// - Otherwise the answer is the integer nearest to V (ties to even), which
//   lies in the interval since H > 1/2 (or V is an integer when H = 1/2).
//
// The fast path estimates V with one 64 × 128-bit product and decides both
// questions unless the estimate is within a few units of 2^-60 of a
// threshold; then, and for the irregular spacing, the exact method decides:
// the three products of Schubfach (R. Giulietti, "The Schubfach way to
// render doubles"), x and the interval's ends times 10^-k rounded to odd,
// whose integer parts and exactness are correct for every double (see
// round_to_odd).

#include "json/shortest.hpp"

#include <bit>
#include <cstring>

#include "json/portable.hpp"

namespace tessik::json {

namespace {

struct U128 {
    std::uint64_t hi;
    std::uint64_t lo;
};

// ---------------------------------------------------------------------------
// Powers of ten, built at compile time with exact integer arithmetic.

// 10^e for e from kMinPow to kMaxPow covers every k in use: the largest
// doubles need 10^-292, the smallest subnormals 10^324.
constexpr int kMinPow = -292;
constexpr int kMaxPow = 324;
constexpr int kPowCount = kMaxPow - kMinPow + 1;

// A natural number in 32-bit limbs, least significant first.
struct BigNat {
    std::uint32_t limb[40] = {};
    int size = 0;
};

constexpr void multiply_small(BigNat& a, std::uint32_t m) {
    std::uint64_t carry = 0;
    for (int i = 0; i < a.size; ++i) {
        const std::uint64_t t = std::uint64_t{a.limb[i]} * m + carry;
        a.limb[i] = static_cast<std::uint32_t>(t);
        carry = t >> 32;
    }
    if (carry != 0) a.limb[a.size++] = static_cast<std::uint32_t>(carry);
}

// Floor division: floor(floor(a / b) / c) is floor(a / (b c)).
constexpr void divide_small(BigNat& a, std::uint32_t d) {
    std::uint64_t rem = 0;
    for (int i = a.size - 1; i >= 0; --i) {
        const std::uint64_t cur = (rem << 32) | a.limb[i];
        a.limb[i] = static_cast<std::uint32_t>(cur / d);
        rem = cur % d;
    }
    while (a.size > 0 && a.limb[a.size - 1] == 0) --a.size;
}

constexpr int bit_length(const BigNat& a) {
    return a.size == 0 ? 0 : 32 * (a.size - 1) + std::bit_width(a.limb[a.size - 1]);
}

// The 128 most significant bits of a (a ≥ 1), rounded down, with the
// leading one in bit 127.
constexpr U128 top_128_bits(const BigNat& a) {
    const int start = bit_length(a) - 128;
    U128 r{0, 0};
    for (int i = 0; i < 128; ++i) {
        const int pos = start + i;
        const std::uint64_t bit = pos >= 0 ? (a.limb[pos / 32] >> (pos % 32)) & 1u : 0u;
        if (i < 64) r.lo |= bit << i;
        else r.hi |= bit << (i - 64);
    }
    return r;
}

// SIGNIFICANDS[e - kMinPow] = floor(10^e × 2^(127 - floor(log2 10^e))),
// the 128-bit significand of 10^e rounded down (exact for 0 ≤ e ≤ 55).
struct PowerTable {
    U128 entry[kPowCount];
};

constexpr PowerTable make_power_table() {
    PowerTable t{};
    BigNat p;
    p.limb[0] = 1;
    p.size = 1;
    for (int e = 0; e <= kMaxPow; ++e) {
        t.entry[e - kMinPow] = top_128_bits(p);
        multiply_small(p, 10);
    }
    // floor(2^1120 / 10^n) has at least 150 bits for n ≤ 292, and its top
    // 128 bits are floor(2^(127 + bit_length(10^n)) / 10^n).
    constexpr int kNumeratorBits = 1120;
    BigNat a;
    a.limb[kNumeratorBits / 32] = 1u << (kNumeratorBits % 32);
    a.size = kNumeratorBits / 32 + 1;
    for (int n = 1; n <= -kMinPow; ++n) {
        divide_small(a, 10);
        t.entry[-n - kMinPow] = top_128_bits(a);
    }
    return t;
}

alignas(64) constexpr PowerTable SIGNIFICANDS = make_power_table();

constexpr bool table_is_normalised() {
    for (const U128& g : SIGNIFICANDS.entry)
        if ((g.hi >> 63) == 0 || g.lo == ~std::uint64_t{0}) return false;  // lo + 1 never carries
    return true;
}
static_assert(table_is_normalised());
static_assert(SIGNIFICANDS.entry[0 - kMinPow].hi == 0x8000000000000000u && SIGNIFICANDS.entry[0 - kMinPow].lo == 0);
static_assert(SIGNIFICANDS.entry[-1 - kMinPow].hi == 0xCCCCCCCCCCCCCCCCu &&
              SIGNIFICANDS.entry[-1 - kMinPow].lo == 0xCCCCCCCCCCCCCCCCu);

constexpr U128 power_significand(int e) noexcept { return SIGNIFICANDS.entry[e - kMinPow]; }

// ---------------------------------------------------------------------------
// Logarithms by fixed-point multiplication, checked below over their range.

// floor(q log10 2)
constexpr int floor_log10_pow2(int q) noexcept { return (q * 315653) >> 20; }
// floor(log10(3/4 × 2^q))
constexpr int floor_log10_three_quarters_pow2(int q) noexcept { return (q * 315653 - 131072) >> 20; }
// floor(e log2 10)
constexpr int floor_log2_pow10(int e) noexcept { return (e * 1741647) >> 19; }

// floor(log2 10^e) exactly, from bit lengths: 10^e is a power of two only
// for e = 0, so for e < 0 it is -bit_length(10^-e).
constexpr bool logarithms_are_exact() {
    int floor_log2[2 * 330 + 1] = {};
    BigNat p;
    p.limb[0] = 1;
    p.size = 1;
    for (int e = 0; e <= 330; ++e) {
        floor_log2[330 + e] = bit_length(p) - 1;
        if (e > 0) floor_log2[330 - e] = -bit_length(p);
        multiply_small(p, 10);
    }
    for (int e = -330; e <= 330; ++e)
        if (floor_log2_pow10(e) != floor_log2[330 + e]) return false;
    // k = floor(q log10 2) iff 10^k ≤ 2^q < 10^(k+1); log2 10^j is
    // irrational for j ≠ 0, so log2 10^j < q iff floor(log2 10^j) < q.
    for (int q = -1074; q <= 971; ++q) {
        const int k = floor_log10_pow2(q);
        const bool low_ok = k == 0 ? q >= 0 : floor_log2[330 + k] < q;
        const bool high_ok = k + 1 == 0 ? q < 0 : q <= floor_log2[330 + k + 1];
        if (!low_ok || !high_ok) return false;
    }
    return true;
}
static_assert(logarithms_are_exact());

// x × g / 2^64 in 64.64 fixed point, the low word of x × g.lo dropped.
inline U128 scaled(U128 g, std::uint64_t x) noexcept {
    const portable::Product p = portable::multiply_add(g.hi, x, portable::multiply(g.lo, x).hi);
    return {p.hi, p.lo};
}

// ---------------------------------------------------------------------------
// The exact method.

// Z = X × g / 2^128 rounded to odd: its integer part, with the lowest bit
// set when a fraction remains. g is the table significand plus one, so the
// 64.64 fixed-point product P overestimates Z 2^64 by less than 2^-5, and
// the fraction word is ignored below 2. This is exact when the fraction of
// Z is 0 or lies in [2^-63, 1 - 2^-64]. A modular search over every
// exponent (the least c with (4c + d) 2^q 10^-k mod 1 in a given range, by
// Euclid-like recursion, in exact integers) finds that it does for all
// three products of every double, but for the centre products of
// 0x1.3de005bd620dfp+215 and 0x1.f92bacb3cb40cp+716: their fractions are
// below 2^-63, and their integer parts are odd, so the result is the same.
inline std::uint64_t round_to_odd(U128 g, std::uint64_t x) noexcept {
    const U128 p = scaled(g, x);
    return p.hi | static_cast<std::uint64_t>((p.lo >> 1) != 0);
}

// c × 2^q with the rounding interval's lower end at a quarter ulp when
// irregular. With quantities scaled by 4, a candidate u is in the interval
// iff 4u lies between the rounded-to-odd ends (strictly when c is odd).
Decimal decimal_by_bounds(std::uint64_t c, int q, bool irregular) noexcept {
    const int k = irregular ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
    const int shift = q + floor_log2_pow10(-k) + 1;  // 1 to 4
    U128 g = power_significand(-k);
    g.lo += 1;
    const std::uint64_t cb = c << 2;
    const std::uint64_t odd = c & 1;
    const std::uint64_t vb = round_to_odd(g, cb << shift);
    const std::uint64_t vbl = round_to_odd(g, (cb - (irregular ? 1 : 2)) << shift);
    const std::uint64_t vbr = round_to_odd(g, (cb + 2) << shift);
    const std::uint64_t s = vb >> 2;  // floor(V)

    // The interval is narrower than 10: at most one multiple of 10 in it.
    const std::uint64_t s10 = s / 10 * 10;
    if (vbl + odd <= s10 << 2) return {s10, k};
    if (((s10 + 10) << 2) + odd <= vbr) return {s10 + 10, k};

    // It is at least 1 wide, so it holds s or s + 1, the integers next to V.
    const std::uint64_t t = s + 1;
    const bool s_in = vbl + odd <= s << 2;
    const bool t_in = (t << 2) + odd <= vbr;
    if (s_in != t_in) return {s_in ? s : t, k};
    const auto cmp = static_cast<std::int64_t>(vb - ((s + t) << 1));  // 4V - (4s + 2)
    return {cmp < 0 || (cmp == 0 && (s & 1) == 0) ? s : t, k};
}

// ---------------------------------------------------------------------------
// Digits.

// Eight decimal digits of v < 10^8, one per byte, the first in the lowest
// byte: split into two halves of four digits, then pairs, then digits, each
// division by a multiplication that is exact over its range (checked below).
constexpr std::uint64_t eight_digits(std::uint64_t v) noexcept {
    std::uint64_t x = v + (v / 10000) * ((std::uint64_t{1} << 32) - 10000);  // 4-digit halves in 32-bit lanes
    x += (((x * 5243) >> 19) & 0x0000007F0000007Fu) * ((1u << 16) - 100);  // pairs in 16-bit lanes
    x += (((x * 103) >> 10) & 0x000F000F000F000Fu) * ((1u << 8) - 10);     // digits in bytes
    return portable::byteswap64(x);  // most significant digit first in memory
}

constexpr bool lane_divisions_are_exact() {
    for (std::uint64_t y = 0; y < 10000; ++y)
        if ((y * 5243) >> 19 != y / 100) return false;
    for (std::uint64_t z = 0; z < 100; ++z)
        if ((z * 103) >> 10 != z / 10) return false;
    return true;
}
static_assert(lane_divisions_are_exact());
static_assert(std::endian::native == std::endian::little, "digits are laid out for little-endian stores");
static_assert(eight_digits(12345678) == 0x0807060504030201u);
static_assert(eight_digits(90000001) == 0x0100000000000009u);

}  // namespace

Decimal shortest_decimal(double x) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    const auto biased = static_cast<int>(bits >> 52);  // the sign bit is clear
    std::uint64_t c = fraction;
    int q = -1074;
    if (biased != 0) {
        c |= std::uint64_t{1} << 52;
        q = biased - 1075;
        if (fraction == 0 && biased > 1) [[unlikely]]
            return decimal_by_bounds(c, q, true);
    }

    // V = c 2^q 10^-k = (c 2^shift) g / 2^128 with g the exact significand;
    // T = floor((c 2^shift) g' / 2^64) with g' the table's, rounded down, so
    // V 2^64 - T lies in [0, 1 + 2^-7): T is V in 64.64 fixed point, at
    // most about one unit low.
    const int k = floor_log10_pow2(q);
    const int shift = q + floor_log2_pow10(-k) + 1;  // 1 to 4
    const U128 g = power_significand(-k);
    const std::uint64_t xs = c << shift;  // below 2^57
    const U128 t = scaled(g, xs);
    const std::uint64_t integral = t.hi;
    const std::uint64_t fractional = t.lo;

    // Relative to r, the multiple of 10 at or below the integral part, in
    // units of 2^-60: W = (V - r) 2^60 lies in [y, y + 1.07), and the half
    // ulp H 2^60 = g 2^(shift - 69) in [half_ulp, half_ulp + 1.5).
    const std::uint64_t digit = integral % 10;
    const std::uint64_t r = integral - digit;
    const std::uint64_t y = (digit << 60) | (fractional >> 4);
    const std::uint64_t half_ulp = g.hi >> (5 - shift);
    constexpr std::uint64_t kTen = std::uint64_t{10} << 60;  // y + half_ulp stays below 15 × 2^60
    constexpr std::uint64_t kMargin = 4;
    if (y + kMargin <= half_ulp) return {r, k};               // V - H < r: r is inside, strictly
    if (y + half_ulp >= kTen + kMargin) return {r + 10, k};   // V + H > r + 10: r + 10 is inside, strictly
    if (y < half_ulp + kMargin || y + half_ulp + kMargin > kTen) [[unlikely]]  // too near an end to tell
        return decimal_by_bounds(c, q, false);

    // No multiple of 10 inside: V rounded to the nearest integer.
    constexpr std::uint64_t kHalf = std::uint64_t{1} << 59;
    const std::uint64_t rem = y & ((std::uint64_t{1} << 60) - 1);
    if (rem - (kHalf - kMargin) <= 2 * kMargin) [[unlikely]]  // too near a half to tell
        return decimal_by_bounds(c, q, false);
    return {r + ((y + kHalf) >> 60), k};
}

Decimal shortest_decimal_by_bounds(double x) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    const auto biased = static_cast<int>(bits >> 52);
    if (biased == 0) return decimal_by_bounds(fraction, -1074, false);
    return decimal_by_bounds(fraction | (std::uint64_t{1} << 52), biased - 1075, fraction == 0 && biased > 1);
}

int shortest_digits(double x, char* scratch, const char*& first, int& exponent) noexcept {
    const Decimal dec = shortest_decimal(x);
    // Seventeen digits with leading zeros: one, then two groups of eight.
    const std::uint64_t n = dec.significand;
    const std::uint64_t lead = n / 10'000'000'000'000'000u;
    const std::uint64_t rest = n - lead * 10'000'000'000'000'000u;
    const std::uint64_t high = eight_digits(rest / 100'000'000u);
    const std::uint64_t low = eight_digits(rest % 100'000'000u);
    constexpr std::uint64_t kZeros = 0x3030303030303030u;
    scratch[0] = static_cast<char>('0' + lead);
    const std::uint64_t high_text = high | kZeros;
    const std::uint64_t low_text = low | kZeros;
    std::memcpy(scratch + 1, &high_text, 8);
    std::memcpy(scratch + 9, &low_text, 8);
    // The first and last non-zero digits, from the bytes' zero bits.
    const int begin = lead != 0 ? 0 : high != 0 ? 1 + std::countr_zero(high) / 8 : 9 + std::countr_zero(low) / 8;
    const int end = low != 0 ? 9 + (63 - std::countl_zero(low)) / 8 + 1
                    : high != 0 ? 1 + (63 - std::countl_zero(high)) / 8 + 1
                                : 1;
    first = scratch + begin;
    exponent = dec.exponent + 16 - begin;
    return end - begin;
}

}  // namespace tessik::json
