// What differs between compilers and processors, in one place: GCC and
// clang get their builtins, MSVC its intrinsics, and any other compiler
// plain C++. On GCC and clang every helper here compiles to what the
// builtin it wraps gave before.
#pragma once

#include <cstdint>
#include <type_traits>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

#if defined(__GNUC__) || defined(__clang__)
#define TESSIK_ALWAYS_INLINE inline __attribute__((always_inline))
#define TESSIK_NOINLINE __attribute__((noinline))
// For a lambda, after its parameter list.
#define TESSIK_LAMBDA_INLINE __attribute__((always_inline))
#define TESSIK_TARGET_AVX2 __attribute__((target("avx2")))
// Before a statement: its calls inlined where clang's heuristics keep them
// out of line. GCC's code is left as it is.
#if defined(__clang__)
#define TESSIK_INLINE_CALLS [[clang::always_inline]]
#else
#define TESSIK_INLINE_CALLS
#endif
#elif defined(_MSC_VER)
#define TESSIK_ALWAYS_INLINE __forceinline
#define TESSIK_NOINLINE __declspec(noinline)
#define TESSIK_LAMBDA_INLINE [[msvc::forceinline]]
#define TESSIK_INLINE_CALLS
// MSVC compiles AVX2 intrinsics in any function.
#define TESSIK_TARGET_AVX2
#else
#define TESSIK_ALWAYS_INLINE inline
#define TESSIK_NOINLINE
#define TESSIK_LAMBDA_INLINE
#define TESSIK_TARGET_AVX2
#define TESSIK_INLINE_CALLS
#endif

// The vector paths: SSE2 scanning in the reader, where the target has it,
// and the AVX2 UTF-8 kernel on x86-64, chosen at run time. The
// TESSIK_NO_SIMD build leaves only the portable paths, so that the tests
// hold them to the same answers on a machine that has both.
#if !defined(TESSIK_NO_SIMD) && \
    (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#define TESSIK_SSE2 1
#include <emmintrin.h>
#else
#define TESSIK_SSE2 0
#endif

#if !defined(TESSIK_NO_SIMD) && (defined(__x86_64__) || defined(_M_X64)) && \
    (defined(__GNUC__) || defined(__clang__) || defined(_MSC_VER))
#define TESSIK_AVX2_KERNEL 1
#else
#define TESSIK_AVX2_KERNEL 0
#endif

namespace tessik::json::portable {

struct Product {
    std::uint64_t hi;
    std::uint64_t lo;
};

// The plain C++ forms, compiled everywhere so that the tests can hold them
// to the builtins.
namespace fallback {

constexpr std::uint64_t byteswap64(std::uint64_t x) noexcept {
    x = ((x & 0x00FF00FF00FF00FFu) << 8) | ((x >> 8) & 0x00FF00FF00FF00FFu);
    x = ((x & 0x0000FFFF0000FFFFu) << 16) | ((x >> 16) & 0x0000FFFF0000FFFFu);
    return (x << 32) | (x >> 32);
}

// Four 32 x 32-bit products; the middle sum cannot overflow 64 bits.
constexpr Product multiply(std::uint64_t a, std::uint64_t b) noexcept {
    const std::uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32;
    const std::uint64_t b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
    const std::uint64_t ll = a_lo * b_lo, lh = a_lo * b_hi, hl = a_hi * b_lo, hh = a_hi * b_hi;
    const std::uint64_t middle = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
    return {hh + (lh >> 32) + (hl >> 32) + (middle >> 32), (middle << 32) | (ll & 0xFFFFFFFFu)};
}

constexpr Product add(Product p, std::uint64_t c) noexcept {
    const std::uint64_t lo = p.lo + c;
    return {p.hi + static_cast<std::uint64_t>(lo < c), lo};
}

}  // namespace fallback

// The bytes of x in reverse order; usable in constant expressions.
constexpr std::uint64_t byteswap64(std::uint64_t x) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap64(x);
#else
#if defined(_MSC_VER)
    if (!std::is_constant_evaluated()) return _byteswap_uint64(x);
#endif
    return fallback::byteswap64(x);
#endif
}

// The full 128-bit product of two 64-bit numbers.
TESSIK_ALWAYS_INLINE Product multiply(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
    __extension__ typedef unsigned __int128 u128;
    const u128 p = static_cast<u128>(a) * b;
    return {static_cast<std::uint64_t>(p >> 64), static_cast<std::uint64_t>(p)};
#elif defined(_MSC_VER) && defined(_M_X64)
    std::uint64_t hi;
    const std::uint64_t lo = _umul128(a, b, &hi);
    return {hi, lo};
#elif defined(_MSC_VER) && defined(_M_ARM64)
    return {__umulh(a, b), a * b};
#else
    return fallback::multiply(a, b);
#endif
}

// a × b + c, which cannot overflow 128 bits.
TESSIK_ALWAYS_INLINE Product multiply_add(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept {
#if defined(__SIZEOF_INT128__)
    __extension__ typedef unsigned __int128 u128;
    const u128 p = static_cast<u128>(a) * b + c;
    return {static_cast<std::uint64_t>(p >> 64), static_cast<std::uint64_t>(p)};
#else
    return fallback::add(multiply(a, b), c);
#endif
}

// A hint that the cache line at p is read soon.
TESSIK_ALWAYS_INLINE void prefetch(const void* p) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#elif defined(_MSC_VER) && defined(_M_ARM64)
    __prefetch(p);
#else
    (void)p;
#endif
}

#if TESSIK_AVX2_KERNEL
// This CPU has AVX2 and the OS saves its registers.
inline bool cpu_has_avx2() noexcept {
#if defined(__GNUC__) || defined(__clang__)
    // libgcc and compiler-rt check the OS's register saving too.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    int r[4];
    __cpuid(r, 0);
    if (r[0] < 7) return false;
    __cpuid(r, 1);
    constexpr int kOsxsave = 1 << 27, kAvx = 1 << 28;
    if ((r[2] & (kOsxsave | kAvx)) != (kOsxsave | kAvx)) return false;
    if ((_xgetbv(0) & 6) != 6) return false;  // XMM and YMM state
    __cpuidex(r, 7, 0);
    return (r[1] & (1 << 5)) != 0;
#endif
}
#endif

}  // namespace tessik::json::portable
