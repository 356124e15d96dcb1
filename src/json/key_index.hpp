// Keys of one call: byte equality and a per-use index from keys to positions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "json/portable.hpp"

namespace tessik::json {

// Byte equality for keys, which are short: inline word compares instead of
// a library call per comparison, the last word overlapping the one before.
TESSIK_ALWAYS_INLINE bool same_key(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    // 1 or 0, so that two results combine with & rather than a branch.
    auto same = [&](std::size_t at, auto word) -> unsigned {
        decltype(word) x, y;
        std::memcpy(&x, p + at, sizeof x);
        std::memcpy(&y, q + at, sizeof y);
        return x == y;
    };
    // Up to 16 bytes, two overlapping words compared without a branch
    // between them: keys of a row often differ in length by a byte, which
    // would make a loop's trip count unpredictable.
    if (n > 16) {
        for (std::size_t i = 0; i + 8 < n; i += 8)
            if (!same(i, std::uint64_t{})) return false;
        return same(n - 8, std::uint64_t{});
    }
    if (n >= 8) return same(0, std::uint64_t{}) & same(n - 8, std::uint64_t{});
    if (n >= 4) return same(0, std::uint32_t{}) & same(n - 4, std::uint32_t{});
    // One to three bytes: the first, middle and last cover them all.
    return n == 0 || (p[0] == q[0] && p[n / 2] == q[n / 2] && p[n - 1] == q[n - 1]);
}

// Per-use open-addressing index from keys to positions in a run of keys,
// with random SipHash keys so that crafted colliding keys cannot make it
// quadratic. Only a 32-bit slice of the hash is kept.
class KeyIndex {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    KeyIndex() noexcept;
    void clear() noexcept;
    std::uint32_t hash(std::string_view key) const noexcept;
    // Position of an equal key (key_at(position) gives the key at a
    // position); when there is none, records `position` and returns npos.
    template <class KeyAt>
    std::size_t find_or_insert(std::string_view key, std::size_t position, KeyAt&& key_at);

private:
    struct Slot {
        std::uint32_t position_plus_1;  // 0 is empty
        std::uint32_t hash;
    };
    void grow();
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
    std::uint64_t k0_;
    std::uint64_t k1_;
};

template <class KeyAt>
std::size_t KeyIndex::find_or_insert(std::string_view key, std::size_t position, KeyAt&& key_at) {
    // At most half full: lookups that miss, which every insertion is, stay
    // short under linear probing.
    if ((used_ + 1) * 2 > slots_.size()) grow();
    const std::uint32_t h = hash(key);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
        Slot& s = slots_[i];
        if (s.position_plus_1 == 0) {
            s = Slot{static_cast<std::uint32_t>(position + 1), h};
            ++used_;
            return npos;
        }
        if (s.hash == h && same_key(key_at(s.position_plus_1 - 1), key)) return s.position_plus_1 - 1;
    }
}

// A direct-mapped cache of recently seen keys in front of a KeyIndex. Its
// hash is cheap and unkeyed (length, first, middle and last bytes), which is
// safe here: a hit is confirmed by comparing the keys, so crafted keys can
// only make the cache miss, never answer wrong or cost more than a miss.
class RecentKeys {
public:
    // The entry for `key`: 1 + the position last stored there, or 0.
    std::uint32_t& entry(std::string_view key) noexcept { return entries_[hash(key) >> (64 - kEntryBits)]; }

private:
    static constexpr unsigned kEntryBits = 10;
    static constexpr std::size_t kEntries = std::size_t{1} << kEntryBits;
    // The top bits, which every input bit reaches through the multiplies.
    static std::uint64_t hash(std::string_view key) noexcept {
        const std::size_t n = key.size();
        const char* p = key.data();
        std::uint64_t a = 0, b = 0, c = 0;
        if (n >= 8) {
            std::memcpy(&a, p, 8);
            std::memcpy(&b, p + n - 8, 8);
            if (n > 16) std::memcpy(&c, p + n / 2 - 4, 8);
        } else if (n >= 4) {
            std::uint32_t x, y;
            std::memcpy(&x, p, 4);
            std::memcpy(&y, p + n - 4, 4);
            a = x;
            b = y;
        } else if (n != 0) {
            a = static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[n / 2]) << 8 |
                static_cast<unsigned char>(p[n - 1]) << 16;
        }
        std::uint64_t h =
            (a * 0x9E3779B97F4A7C15ULL) ^ ((b + n) * 0xC2B2AE3D27D4EB4FULL) ^ (c * 0x165667B19E3779F9ULL);
        h ^= h >> 32;
        return h * 0x9E3779B97F4A7C15ULL;
    }
    std::uint32_t entries_[kEntries] = {};
};

}  // namespace tessik::json
