// The plain C++ forms of portable.hpp, which compilers without the builtins
// use, held to the builtins; and the vector paths a build compiled in.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "json/portable.hpp"
#include "json/utf8_validate.hpp"

namespace portable = tessik::json::portable;

TEST(Portable, ByteswapAndProductsMatchTheBuiltins) {
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    static_assert(portable::fallback::byteswap64(0x0102030405060708u) == 0x0807060504030201u);
    // (2^64 - 1)^2 = 2^128 - 2^65 + 1; plus 2^64 - 1 more carries into the high word.
    static_assert(portable::fallback::multiply(kMax, kMax).hi == kMax - 1);
    static_assert(portable::fallback::multiply(kMax, kMax).lo == 1);
    static_assert(portable::fallback::add(portable::fallback::multiply(kMax, kMax), kMax).hi == kMax);
    static_assert(portable::fallback::add(portable::fallback::multiply(kMax, kMax), kMax).lo == 0);

    std::vector<std::uint64_t> values = {0, 1, 2, 0xFFFFFFFFu, 0x100000000u, 0x80000000u, kMax, kMax - 1,
                                         std::uint64_t{1} << 63, 0xCCCCCCCCCCCCCCCDu};
    std::mt19937_64 random(5);
    for (int i = 0; i < 2000; ++i) values.push_back(random() >> (random() % 64));
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::uint64_t a = values[i], b = values[(i * 7 + 3) % values.size()], c = values[(i * 13 + 1) % values.size()];
        ASSERT_EQ(portable::fallback::byteswap64(a), portable::byteswap64(a)) << a;
        const portable::Product p = portable::multiply(a, b), q = portable::fallback::multiply(a, b);
        ASSERT_EQ(p.hi, q.hi) << a << " x " << b;
        ASSERT_EQ(p.lo, q.lo) << a << " x " << b;
        const portable::Product r = portable::multiply_add(a, b, c), s = portable::fallback::add(q, c);
        ASSERT_EQ(r.hi, s.hi) << a << " x " << b << " + " << c;
        ASSERT_EQ(r.lo, s.lo) << a << " x " << b << " + " << c;
    }
}

// TESSIK_NO_SIMD must reach the library's own files, not only the tests',
// or the portable build would test the vector paths once more; an
// ordinary x86-64 build must keep them, and other processors have none.
TEST(Portable, VectorPathsAsConfigured) {
    const auto paths = tessik::json::detail::compiled_vector_paths();
#if defined(TESSIK_NO_SIMD)
    EXPECT_FALSE(paths.sse2);
    EXPECT_FALSE(paths.avx2);
    EXPECT_FALSE(tessik::json::detail::has_avx2());
#elif defined(__x86_64__) || defined(_M_X64)
    EXPECT_TRUE(paths.sse2);
    EXPECT_TRUE(paths.avx2);
#else
    // Other processors have only the portable paths.
    EXPECT_FALSE(paths.sse2);
    EXPECT_FALSE(paths.avx2);
#endif
}
