#include "json/key_index.hpp"

#include <algorithm>

#include "json/value.hpp"

namespace tessik::json {

KeyIndex::KeyIndex() noexcept { draw_hash_keys(k0_, k1_); }

void KeyIndex::clear() noexcept {
    // A large table is dropped rather than wiped, so that many small uses
    // after one large one stay linear.
    if (slots_.size() > 64) std::vector<Slot>().swap(slots_);
    else std::fill(slots_.begin(), slots_.end(), Slot{0, 0});
    used_ = 0;
}

std::uint32_t KeyIndex::hash(std::string_view key) const noexcept {
    return static_cast<std::uint32_t>(siphash13(k0_, k1_, key));
}

void KeyIndex::grow() {
    const std::size_t size = slots_.empty() ? 32 : slots_.size() * 2;
    std::vector<Slot> bigger(size, Slot{0, 0});
    const std::size_t mask = size - 1;
    for (const Slot& s : slots_) {
        if (s.position_plus_1 == 0) continue;
        std::size_t i = s.hash & mask;
        while (bigger[i].position_plus_1 != 0) i = (i + 1) & mask;
        bigger[i] = s;
    }
    slots_.swap(bigger);
}

}  // namespace tessik::json
