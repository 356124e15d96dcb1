// Large working memory of one call, mapped straight from the kernel. A
// call's large arrays are faulted in afresh on every call: mapped, a growing
// array moves its pages instead of being copied into a second array faulted
// in again, and it can take huge pages, one fault per 2 MiB instead of per
// 4 KiB, which takes most of the kernel's time off the call and off the
// address-space lock that other threads' faults wait on.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#include <sys/mman.h>

namespace tessik::json::pages {

// Arrays from this size up are mapped rather than allocated.
inline constexpr std::size_t map_from = std::size_t{1} << 20;

inline std::size_t rounded(std::size_t n) noexcept { return (n + 4095) & ~std::size_t{4095}; }

// n bytes of zeroed pages; throws std::bad_alloc.
inline void* map(std::size_t n) {
    void* p = mmap(nullptr, rounded(n), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // The whole mapping, so that it stays one piece that mremap can move;
    // only a hint, ignored without transparent huge pages.
    madvise(p, rounded(n), MADV_HUGEPAGE);
#endif
    return p;
}

// Grows a mapping by moving its pages, never copying them; throws
// std::bad_alloc, leaving the old mapping as it was.
inline void* remap(void* p, std::size_t old_n, std::size_t new_n) {
    void* q = mremap(p, rounded(old_n), rounded(new_n), MREMAP_MAYMOVE);
    if (q == MAP_FAILED) throw std::bad_alloc();
    return q;
}

inline void unmap(void* p, std::size_t n) noexcept { munmap(p, rounded(n)); }

// n bytes that never move: mapped from map_from up, else from malloc.
class Block {
public:
    explicit Block(std::size_t n) : data_(static_cast<char*>(n >= map_from ? map(n) : std::malloc(n))), size_(n) {
        if (data_ == nullptr) throw std::bad_alloc();
    }
    Block(Block&& other) noexcept : data_(std::exchange(other.data_, nullptr)), size_(other.size_) {}
    Block& operator=(Block&&) = delete;
    ~Block() {
        if (data_ == nullptr) return;
        if (size_ >= map_from) unmap(data_, size_);
        else std::free(data_);
    }
    char* data() const noexcept { return data_; }

private:
    char* data_;
    std::size_t size_;
};

}  // namespace tessik::json::pages
