// Shortest round-trip decimal digits of a double.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessik::json {

// The value significand × 10^exponent. The significand may end in zeros.
struct Decimal {
    std::uint64_t significand;
    int exponent;
};

// For a finite x > 0: among the decimals that read back as x under IEEE
// round-to-nearest-even, one with the fewest significant digits; among
// those, the one nearest to x; of two equally near, the one whose last
// digit is even. The significand is between 1 and 10^17 - 1.
Decimal shortest_decimal(double x) noexcept;

// The same decimal, found by the exact three-product method alone (the one
// shortest_decimal falls back to when its one-product estimate cannot
// decide). Exposed so that tests can check that method on every input.
Decimal shortest_decimal_by_bounds(double x) noexcept;

// Room shortest_digits needs in its scratch area.
inline constexpr std::size_t shortest_scratch_chars = 24;

// The digits d1 … dn of shortest_decimal(x) for a finite x > 0, d1 and dn
// non-zero, as characters in scratch (room for shortest_scratch_chars).
// Returns n (1 to 17) and sets first to d1 and exponent to m, where
// x is written d1.d2…dn × 10^m.
int shortest_digits(double x, char* scratch, const char*& first, int& exponent) noexcept;

}  // namespace tessik::json
