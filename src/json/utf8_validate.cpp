// UTF-8 validation of string contents that had a byte above 0x7F. Every
// kernel here gives the same answer; which one runs is a matter of speed.
#include "json/utf8_validate.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "json/portable.hpp"
#include "json/reader.hpp"

// The AVX2 kernel is compiled for AVX2 on its own (TESSIK_TARGET_AVX2); the
// rest of the library stays baseline x86-64.
#if TESSIK_AVX2_KERNEL
#include <immintrin.h>
#endif

namespace tessik::json::detail {

namespace {

// A byte-at-a-time automaton with no branches: each state is a bit offset
// into a 64-bit row, and the row of a byte holds, 6 bits per state, the
// state it leads to. One step is a load that does not wait on the state and
// a shift that does, so a step costs one cycle of latency and no branch
// that mixed text would mispredict.
constexpr unsigned kAccept = 0;   // between sequences
constexpr unsigned kError = 6;    // absorbing
constexpr unsigned kNeed1 = 12;   // one continuation left
constexpr unsigned kNeed2 = 18;   // two left
constexpr unsigned kNeed3 = 24;   // three left, after F1..F3
// A lead whose second byte has a narrower range: shortest forms only, no
// surrogates, nothing above U+10FFFF.
constexpr unsigned kAfterE0 = 30;  // A0..BF, then one more
constexpr unsigned kAfterED = 36;  // 80..9F, then one more
constexpr unsigned kAfterF0 = 42;  // 90..BF, then two more
constexpr unsigned kAfterF4 = 48;  // 80..8F, then two more

constexpr unsigned next_state(unsigned state, int c) {
    auto in = [c](int low, int high) { return c >= low && c <= high; };
    switch (state) {
        case kAccept:
            if (c < 0x80) return kAccept;
            if (in(0xC2, 0xDF)) return kNeed1;
            if (c == 0xE0) return kAfterE0;
            if (c == 0xED) return kAfterED;
            if (in(0xE1, 0xEF)) return kNeed2;
            if (c == 0xF0) return kAfterF0;
            if (c == 0xF4) return kAfterF4;
            if (in(0xF1, 0xF3)) return kNeed3;
            return kError;
        case kNeed1: return in(0x80, 0xBF) ? kAccept : kError;
        case kNeed2: return in(0x80, 0xBF) ? kNeed1 : kError;
        case kNeed3: return in(0x80, 0xBF) ? kNeed2 : kError;
        case kAfterE0: return in(0xA0, 0xBF) ? kNeed1 : kError;
        case kAfterED: return in(0x80, 0x9F) ? kNeed1 : kError;
        case kAfterF0: return in(0x90, 0xBF) ? kNeed2 : kError;
        case kAfterF4: return in(0x80, 0x8F) ? kNeed2 : kError;
        default: return kError;
    }
}

struct Automaton {
    std::uint64_t row[256];
};

constexpr Automaton make_automaton() {
    Automaton a{};
    for (int c = 0; c < 256; ++c) {
        for (unsigned state = 0; state <= kAfterF4; state += 6) {
            a.row[c] |= std::uint64_t{next_state(state, c)} << state;
        }
    }
    return a;
}

constexpr Automaton kAutomaton = make_automaton();

// Only the low 6 bits of the state count; x86-64 and AArch64 shifts look at
// no others, so the mask costs no instruction there.
inline std::uint64_t step(std::uint64_t state, Byte c) noexcept { return kAutomaton.row[c] >> (state & 63); }

inline bool is_ascii16(const Byte* p) noexcept {
#if TESSIK_SSE2
    return _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) == 0;
#else
    return ((load_le64(p) | load_le64(p + 8)) & kHighBits) == 0;
#endif
}

#if TESSIK_AVX2_KERNEL
// Faults of a byte pair (previous byte, this byte), found as the AND of
// three 16-entry tables indexed by the previous byte's high and low nibbles
// and this byte's high nibble: a bit survives only when all three agree.
constexpr std::uint8_t kTooShort = 1 << 0;   // lead byte, then no continuation
constexpr std::uint8_t kTooLong = 1 << 1;    // ASCII, then a continuation
constexpr std::uint8_t kOverlong3 = 1 << 2;  // E0 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;   // F4..FF 90..BF
constexpr std::uint8_t kSurrogate = 1 << 4;  // ED A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;  // C0 or C1, then a continuation
// These two share a bit: their previous bytes, F0 and F5..FF, differ in
// the low nibble, and F1..F4 have it clear.
constexpr std::uint8_t kOverlong4 = 1 << 6;     // F0 80..8F
constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5..FF 80..8F
// Two continuations: a fault unless this byte is the third or fourth of a
// sequence, which the lead two or three bytes back decides.
constexpr std::uint8_t kTwoConts = 1 << 7;
// Faults that depend on no low nibble.
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

alignas(16) constexpr std::uint8_t kPrevHigh[16] = {
    // 0_______: ASCII
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
    // 10______: continuation
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,
    // 1100____, 1101____, 1110____, 1111____
    kTooShort | kOverlong2,
    kTooShort,
    kTooShort | kOverlong3 | kSurrogate,
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4,
};

alignas(16) constexpr std::uint8_t kPrevLow[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4,  // ____0000: C0, E0, F0
    kCarry | kOverlong2,                            // ____0001: C1
    kCarry,
    kCarry,
    kCarry | kTooLarge,                          // ____0100: F4
    kCarry | kTooLarge | kTooLarge1000,          // F5..FF from here on
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate,  // ____1101: ED
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
};

alignas(16) constexpr std::uint8_t kThisHigh[16] = {
    // 0_______: ASCII
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    // 1000____, 1001____, 1010____, 1011____
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    // 11______: lead byte
    kTooShort, kTooShort, kTooShort, kTooShort,
};

TESSIK_TARGET_AVX2 inline __m256i table(const std::uint8_t (&t)[16]) noexcept {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t)));
}

// `input` shifted later by N bytes, the last N bytes of `prev` shifted in.
template <int N>
TESSIK_TARGET_AVX2 inline __m256i prev_bytes(__m256i input, __m256i prev) noexcept {
    return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(prev, input, 0x21), 16 - N);
}

TESSIK_TARGET_AVX2 inline __m256i high_nibbles(__m256i v) noexcept {
    return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// Nonzero bytes where `input`, read after `prev`, is malformed; a sequence
// still open at the end of `input` is left to the next block.
TESSIK_TARGET_AVX2 inline __m256i block_errors(__m256i input, __m256i prev) noexcept {
    const __m256i prev1 = prev_bytes<1>(input, prev);
    const __m256i pair = _mm256_and_si256(
        _mm256_and_si256(_mm256_shuffle_epi8(table(kPrevHigh), high_nibbles(prev1)),
                         _mm256_shuffle_epi8(table(kPrevLow), _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)))),
        _mm256_shuffle_epi8(table(kThisHigh), high_nibbles(input)));
    // High bit set where the byte two back is E0..FF or three back F0..FF:
    // exactly where this byte must be a continuation after a continuation.
    const __m256i third = _mm256_subs_epu8(prev_bytes<2>(input, prev), _mm256_set1_epi8(0xE0 - 0x80));
    const __m256i fourth = _mm256_subs_epu8(prev_bytes<3>(input, prev), _mm256_set1_epi8(0xF0 - 0x80));
    const __m256i must_continue =
        _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
    return _mm256_xor_si256(must_continue, pair);
}

// Nonzero when the block ends inside a sequence: a 4-byte lead in any of
// its last three bytes, a 3-byte lead in the last two, a 2-byte lead last.
TESSIK_TARGET_AVX2 inline __m256i open_at_end(__m256i input) noexcept {
    const __m256i limits = _mm256_setr_epi8(
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  //
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,              //
        static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
    return _mm256_subs_epu8(input, limits);
}

TESSIK_TARGET_AVX2 inline __m256i load32(const Byte* p) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
#endif  // TESSIK_AVX2_KERNEL

}  // namespace

bool is_valid_utf8_portable(const Byte* p, const Byte* end) noexcept {
    std::uint64_t state = kAccept;
    while (end - p >= 16) {
        if (is_ascii16(p)) {
            // Leaves kAccept as it is and ends an open sequence in kError.
            state = step(state, 0);
        } else {
            for (int i = 0; i < 16; ++i) state = step(state, p[i]);
            if ((state & 63) == kError) return false;
        }
        p += 16;
    }
    while (p != end) state = step(state, *p++);
    return (state & 63) == kAccept;
}

#if TESSIK_AVX2_KERNEL
TESSIK_TARGET_AVX2 bool is_valid_utf8_avx2(const Byte* p, const Byte* end) noexcept {
    const Byte* const begin = p;
    const __m256i zero = _mm256_setzero_si256();
    __m256i error = zero;
    __m256i prev = zero;  // the block before, as if ASCII before the start
    __m256i open = zero;  // `prev` ends inside a sequence
    // A pair of ASCII blocks is valid unless the block before it left a
    // sequence open.
    while (end - p >= 64) {
        const __m256i a = load32(p);
        const __m256i b = load32(p + 32);
        if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) == 0) {
            error = _mm256_or_si256(error, open);
            open = zero;
        } else {
            error = _mm256_or_si256(error, _mm256_or_si256(block_errors(a, prev), block_errors(b, a)));
            open = open_at_end(b);
        }
        prev = b;
        p += 64;
    }
    if (end - p >= 32) {
        const __m256i a = load32(p);
        error = _mm256_or_si256(error, block_errors(a, prev));
        open = open_at_end(a);
        prev = a;
        p += 32;
    }
    if (p != end && end - begin >= 64) {
        // The last 32 bytes again, after the 32 before them: bytes checked
        // twice are checked in their true context both times.
        const __m256i a = load32(end - 32);
        error = _mm256_or_si256(error, block_errors(a, load32(end - 64)));
        open = open_at_end(a);
    } else if (p != end) {
        // Zeros after the input read as ASCII, which ends no sequence.
        alignas(32) Byte tail[32] = {};
        std::memcpy(tail, p, static_cast<std::size_t>(end - p));
        const __m256i a = load32(tail);
        error = _mm256_or_si256(error, block_errors(a, prev));
        open = open_at_end(a);
    }
    error = _mm256_or_si256(error, open);
    return _mm256_testz_si256(error, error) != 0;
}

bool has_avx2() noexcept {
    // Decided once: a thread-safe static, as the module runs without a GIL.
    static const bool usable = portable::cpu_has_avx2();
    return usable;
}
#else
bool is_valid_utf8_avx2(const Byte* p, const Byte* end) noexcept { return is_valid_utf8_portable(p, end); }

bool has_avx2() noexcept { return false; }
#endif

VectorPaths compiled_vector_paths() noexcept { return {TESSIK_SSE2 != 0, TESSIK_AVX2_KERNEL != 0}; }

bool is_valid_utf8(const Byte* p, const Byte* end) noexcept {
    // Most strings are short; below one block the automaton is as fast as
    // padding them for the block kernel.
    if (end - p < 32 || !has_avx2()) return is_valid_utf8_portable(p, end);
    return is_valid_utf8_avx2(p, end);
}

}  // namespace tessik::json::detail
