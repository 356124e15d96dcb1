// Large working memory of one call, mapped straight from the kernel. A
// call's large arrays are faulted in afresh on every call: mapped, a growing
// array moves its pages instead of being copied into a second array faulted
// in again, and it can take huge pages, one fault per 2 MiB instead of per
// 4 KiB, which takes most of the kernel's time off the call and off the
// address-space lock that other threads' faults wait on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

// Moving pages (mremap) and the huge-page hint are Linux's. Elsewhere the
// large arrays come from the C allocator, whose realloc of a large block
// may move pages too where the system can.
#if defined(__linux__)
#define TESSIK_MAPPED_PAGES 1
#include <sys/mman.h>
#else
#define TESSIK_MAPPED_PAGES 0
#endif

namespace tessik::json::pages {

// Arrays from this size up are mapped rather than allocated. Below it,
// malloc's heap serves a call with memory an earlier call gave back, so
// nothing is faulted in again; mapped pages are fresh on every call, which
// for arrays of a few MiB cost more in faults than moving pages on growth
// saves (a 1.2 MB payload: 333 faults, 0.39 ms of a 1.7 ms call).
inline constexpr std::size_t map_from = std::size_t{8} << 20;

inline std::size_t rounded(std::size_t n) noexcept { return (n + 4095) & ~std::size_t{4095}; }

#if TESSIK_MAPPED_PAGES
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
// Gives back the pages of [p, p + n), page-aligned, that will not be read
// again: they stop counting as resident, and read as zeros if touched.
inline void release(void* p, std::size_t n) noexcept { madvise(p, n, MADV_DONTNEED); }
#else
// n bytes; throws std::bad_alloc.
inline void* map(std::size_t n) {
    void* p = std::malloc(n);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

// Throws std::bad_alloc, leaving the old block as it was.
inline void* remap(void* p, std::size_t, std::size_t new_n) {
    void* q = std::realloc(p, new_n);
    if (q == nullptr) throw std::bad_alloc();
    return q;
}

inline void unmap(void* p, std::size_t) noexcept { std::free(p); }
inline void release(void*, std::size_t) noexcept {}
#endif

// From this size up, the C library's malloc maps every block afresh rather
// than reusing its heap, so each of its pages is faulted in on first write.
inline constexpr std::size_t hint_from = std::size_t{32} << 20;

// Asks for huge pages under n bytes at p that another allocator made: a
// block of hint_from or more, which is then a mapping of its own. The hint
// covers every page the block touches, the whole mapping, so it stays one
// piece; it changes no byte and is ignored without transparent huge pages.
inline void hint_huge(void* p, std::size_t n) noexcept {
#if TESSIK_MAPPED_PAGES && defined(MADV_HUGEPAGE)
    if (n < hint_from) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t{4095};
    const auto end = rounded(reinterpret_cast<std::uintptr_t>(p) + n);
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}

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
