// Growable byte buffer for output text. Grows to the larger of twice its
// capacity and the size needed, never below 8 bytes; an allocation failure
// throws std::bad_alloc so the caller can unwind and report it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace tessik::json {

// memcpy for the short runs that output is made of (numbers, keys, short
// strings): fixed-size overlapping moves the compiler inlines, instead of a
// library call per run.
inline void copy_short(char* dst, const char* src, std::size_t n) noexcept {
    if (n <= 16) {
        if (n >= 8) {
            std::uint64_t a, b;
            std::memcpy(&a, src, 8);
            std::memcpy(&b, src + n - 8, 8);
            std::memcpy(dst, &a, 8);
            std::memcpy(dst + n - 8, &b, 8);
        } else if (n >= 4) {
            std::uint32_t a, b;
            std::memcpy(&a, src, 4);
            std::memcpy(&b, src + n - 4, 4);
            std::memcpy(dst, &a, 4);
            std::memcpy(dst + n - 4, &b, 4);
        } else if (n != 0) {
            const char a = src[0], b = src[n / 2], c = src[n - 1];
            dst[0] = a;
            dst[n / 2] = b;
            dst[n - 1] = c;
        }
    } else {  // at most 32
        char a[16], b[16];
        std::memcpy(a, src, 16);
        std::memcpy(b, src + n - 16, 16);
        std::memcpy(dst, a, 16);
        std::memcpy(dst + n - 16, b, 16);
    }
}

inline void copy_bytes(char* dst, const char* src, std::size_t n) noexcept {
    if (n <= 32) copy_short(dst, src, n);
    else std::memcpy(dst, src, n);
}

class Buffer {
public:
    Buffer() noexcept = default;
    explicit Buffer(std::size_t capacity) { reserve(capacity); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), len_(std::exchange(other.len_, 0)),
          cap_(std::exchange(other.cap_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            len_ = std::exchange(other.len_, 0);
            cap_ = std::exchange(other.cap_, 0);
        }
        return *this;
    }
    ~Buffer() { std::free(data_); }

    const char* data() const noexcept { return data_; }
    char* data() noexcept { return data_; }
    std::size_t size() const noexcept { return len_; }
    std::size_t capacity() const noexcept { return cap_; }
    std::string_view view() const noexcept { return {data_, len_}; }

    void reserve(std::size_t capacity) {
        if (capacity > cap_) realloc_to(capacity);
    }

    // Makes room for n more bytes.
    void ensure(std::size_t n) {
        if (cap_ - len_ < n) grow(n);
    }

    void push(char c) {
        ensure(1);
        data_[len_++] = c;
    }

    void append(const char* p, std::size_t n) {
        ensure(n);
        copy_bytes(data_ + len_, p, n);
        len_ += n;
    }
    void append(std::string_view s) { append(s.data(), s.size()); }
    // n is at most 32.
    void append_short(const char* p, std::size_t n) {
        ensure(n);
        copy_short(data_ + len_, p, n);
        len_ += n;
    }

    // Grows by n bytes that the caller writes; returns where they go.
    char* extend(std::size_t n) {
        ensure(n);
        char* p = data_ + len_;
        len_ += n;
        return p;
    }

    // Writes into reserved room; the caller guarantees ensure() before.
    void push_unchecked(char c) noexcept { data_[len_++] = c; }
    void append_unchecked(const char* p, std::size_t n) noexcept {
        copy_bytes(data_ + len_, p, n);
        len_ += n;
    }

    void clear() noexcept { len_ = 0; }
    void truncate(std::size_t n) noexcept {
        if (n < len_) len_ = n;
    }

private:
    void grow(std::size_t n) {
        // No object may be larger than PTRDIFF_MAX bytes.
        constexpr std::size_t most = PTRDIFF_MAX;
        if (n > most - len_) throw std::bad_alloc();
        const std::size_t needed = len_ + n;
        std::size_t target = cap_ > most / 2 ? most : cap_ * 2;
        if (target < needed) target = needed;
        if (target < 8) target = 8;
        realloc_to(target);
    }
    void realloc_to(std::size_t capacity) {
        void* p = std::realloc(data_, capacity);
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<char*>(p);
        cap_ = capacity;
    }

    char* data_ = nullptr;
    std::size_t len_ = 0;
    std::size_t cap_ = 0;
};

}  // namespace tessik::json
