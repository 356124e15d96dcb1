/* CPU feature detection behind __builtin_cpu_supports for modules linked by
 * zig (cmake/zig-toolchain.cmake links this file into them).
 *
 * zig's compiler runtime defines __cpu_model as a stub whose features all
 * read as absent, so runtime dispatch would never choose a vector kernel.
 * These strong definitions take the place of that stub; they keep the
 * layout and feature bit numbers that clang and GCC compile
 * __builtin_cpu_supports to (tools/build-wheels checks that they read as
 * libgcc's do on the build machine). Only the features below are reported;
 * any other reads as absent, which is always safe.
 */
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>

struct cpu_model {
    unsigned int vendor;
    unsigned int type;
    unsigned int subtype;
    unsigned int features[1];
};

__attribute__((visibility("hidden"))) struct cpu_model __cpu_model;
__attribute__((visibility("hidden"))) unsigned int __cpu_features2[4];
static int done;

enum {
    F_CMOV = 0, F_MMX, F_POPCNT, F_SSE, F_SSE2, F_SSE3, F_SSSE3, F_SSE4_1, F_SSE4_2, F_AVX, F_AVX2
};

/* Runs once as a constructor before any code of the module; later calls
 * (__builtin_cpu_init) find it done and write nothing, so threads never race. */
__attribute__((visibility("hidden"), constructor(101))) int __cpu_indicator_init(void) {
    unsigned int a, b, c, d, max, f = 0;
    if (done) return 0;
    done = 1;
    /* Vendor, type and subtype stay 0 (unknown): __builtin_cpu_is reads false. */
    if (!__get_cpuid(0, &max, &b, &c, &d)) return -1;
    __cpuid(1, a, b, c, d);
    if (d & bit_CMOV) f |= 1u << F_CMOV;
    if (d & bit_MMX) f |= 1u << F_MMX;
    if (d & bit_SSE) f |= 1u << F_SSE;
    if (d & bit_SSE2) f |= 1u << F_SSE2;
    if (c & bit_SSE3) f |= 1u << F_SSE3;
    if (c & bit_SSSE3) f |= 1u << F_SSSE3;
    if (c & bit_SSE4_1) f |= 1u << F_SSE4_1;
    if (c & bit_SSE4_2) f |= 1u << F_SSE4_2;
    if (c & bit_POPCNT) f |= 1u << F_POPCNT;
    /* AVX needs the OS to save the XMM and YMM registers (XCR0 bits 1, 2). */
    int os_avx = 0;
    if ((c & (bit_OSXSAVE | bit_AVX)) == (bit_OSXSAVE | bit_AVX)) {
        unsigned int lo, hi;
        __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        os_avx = (lo & 6) == 6;
    }
    if (os_avx) f |= 1u << F_AVX;
    if (os_avx && max >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        if (b & bit_AVX2) f |= 1u << F_AVX2;
    }
    __cpu_model.features[0] = f;
    return 0;
}
#endif
