// The UTF-8 validation kernels behind detail::is_valid_utf8 (reader.hpp),
// exposed so that the tests can hold each one to the same answers.
#pragma once

namespace tessik::json {

using Byte = unsigned char;  // as in reader.hpp

namespace detail {

// Any CPU: a branch-free byte automaton, with 16-byte ASCII runs skipped.
bool is_valid_utf8_portable(const Byte* p, const Byte* end) noexcept;

// 32 bytes per step; call only when has_avx2(). Where no AVX2 kernel is
// built, the portable one.
bool is_valid_utf8_avx2(const Byte* p, const Byte* end) noexcept;

// The AVX2 kernel is built and this CPU and OS can run it; decided once.
bool has_avx2() noexcept;

// The vector paths this library was compiled with, so that the tests can
// tell that a TESSIK_NO_SIMD build really runs the portable ones.
struct VectorPaths {
    bool sse2;  // the reader's scans and the kernels' ASCII checks
    bool avx2;  // the AVX2 kernel, when has_avx2()
};
VectorPaths compiled_vector_paths() noexcept;

}  // namespace detail
}  // namespace tessik::json
