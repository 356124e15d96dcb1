// Memory for the short-lived working vectors of one call.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

namespace tessik::json {

// Working vectors of one call: served from inline storage while it lasts,
// then from the heap, so that small payloads make no malloc call for them.
// Heap pieces are freed as usual; inline ones are reclaimed only when they
// are the most recent. Not a polymorphic resource: a small call makes a
// dozen of these allocations, and each would pay two indirect calls.
class Scratch {
public:
    Scratch() noexcept = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    void* allocate(std::size_t n, std::size_t align) {
        // malloc's alignment serves every align up to 16.
        static_assert(alignof(std::max_align_t) >= 16);
        const std::size_t start = (used_ + align - 1) & ~(align - 1);
        if (align <= 16 && n <= kInline && start <= kInline - n) {
            used_ = start + n;
            return inline_ + start;
        }
        if (align > 16) return ::operator new(n, std::align_val_t(align));
        void* p = std::malloc(n == 0 ? 1 : n);
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }
    void deallocate(void* p, std::size_t n, std::size_t align) noexcept {
        char* c = static_cast<char*>(p);
        if (c >= inline_ && c < inline_ + kInline) {
            if (c + n == inline_ + used_) used_ = static_cast<std::size_t>(c - inline_);
            return;
        }
        if (align > 16) ::operator delete(p, std::align_val_t(align));
        else std::free(p);
    }

private:
    static constexpr std::size_t kInline = 8192;
    alignas(16) char inline_[kInline];
    std::size_t used_ = 0;
};

// The standard allocator interface over a Scratch.
template <class T>
class ScratchAllocator {
public:
    using value_type = T;
    // Implicit, so that a vector takes the Scratch* itself as its allocator.
    ScratchAllocator(Scratch* scratch) noexcept : scratch_(scratch) {}
    template <class U>
    ScratchAllocator(const ScratchAllocator<U>& other) noexcept : scratch_(other.scratch()) {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(scratch_->allocate(n * sizeof(T), alignof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { scratch_->deallocate(p, n * sizeof(T), alignof(T)); }
    Scratch* scratch() const noexcept { return scratch_; }
    template <class U>
    bool operator==(const ScratchAllocator<U>& other) const noexcept {
        return scratch_ == other.scratch();
    }

private:
    Scratch* scratch_;
};

template <class T>
using ScratchVector = std::vector<T, ScratchAllocator<T>>;

}  // namespace tessik::json
