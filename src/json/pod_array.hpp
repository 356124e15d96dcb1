// Growing arrays of plain values, one element per cell of a payload.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "json/pages.hpp"

namespace tessik::json {

// The per-cell arrays, which grow with the payload. The first elements live
// inline, so that small payloads allocate nothing for them; large arrays
// are mapped, so that growing moves their pages instead of copying them
// into a second array faulted in afresh.
template <class T, std::size_t Inline>
class PodArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    PodArray() noexcept = default;
    PodArray(const PodArray&) = delete;
    PodArray& operator=(const PodArray&) = delete;
    ~PodArray() {
        if (mapped_) pages::unmap(data_, capacity_ * sizeof(T));
        else if (data_ != inline_data()) std::free(data_);
    }

    std::size_t size() const noexcept { return size_; }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    void push_back(const T& v) {
        if (size_ == capacity_) grow();
        data_[size_++] = v;
    }
    void truncate(std::size_t n) noexcept { size_ = std::min(size_, n); }
    // The elements before i are read no more: a mapped array gives back
    // its whole 2 MiB chunks (counted from its start) before them, so that
    // a call that reads it once, front to back, while it writes its result
    // does not hold both at full size.
    void release_before(std::size_t i) noexcept {
        if (!mapped_) return;
        constexpr std::size_t chunk = std::size_t{2} << 20;
        const std::size_t end = std::min(i, size_) * sizeof(T) / chunk * chunk;
        if (end <= released_) return;
        pages::release(reinterpret_cast<char*>(data_) + released_, end - released_);
        released_ = end;
    }

private:
    void grow() {
        if (capacity_ > SIZE_MAX / 4 / sizeof(T)) throw std::bad_alloc();
        // Out of the inline storage by four times at once: an array that
        // outgrows it mostly grows on, and each step costs a small call an
        // allocation and a copy.
        const std::size_t capacity = capacity_ * (data_ == inline_data() ? 4 : 2), bytes = capacity * sizeof(T);
        void* p;
        const bool mapped = bytes >= pages::map_from;
        if (mapped_) {
            p = pages::remap(data_, capacity_ * sizeof(T), bytes);
        } else if (!mapped && data_ != inline_data()) {
            p = std::realloc(data_, bytes);
            if (p == nullptr) throw std::bad_alloc();
        } else {
            // A new home: out of the inline storage, or onto mapped pages.
            p = mapped ? pages::map(bytes) : std::malloc(bytes);
            if (p == nullptr) throw std::bad_alloc();
            std::memcpy(p, data_, size_ * sizeof(T));
            if (data_ != inline_data()) std::free(data_);
            mapped_ = mapped;
        }
        data_ = static_cast<T*>(p);
        capacity_ = capacity;
    }

    // Raw bytes: elements come into being as they are written.
    T* inline_data() noexcept { return reinterpret_cast<T*>(inline_); }
    alignas(T) unsigned char inline_[Inline * sizeof(T)];
    T* data_ = inline_data();
    std::size_t size_ = 0;
    std::size_t capacity_ = Inline;
    std::size_t released_ = 0;  // bytes at the front given back
    bool mapped_ = false;
};

}  // namespace tessik::json
