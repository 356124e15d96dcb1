// A memory resource for the short-lived working vectors of one call.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory_resource>
#include <new>

namespace tessik::json {

// Working vectors of one call: served from inline storage while it lasts,
// then from the heap, so that small payloads make no malloc call for them.
// Heap pieces are freed as usual; inline ones are reclaimed only when they
// are the most recent.
class Scratch final : public std::pmr::memory_resource {
public:
    Scratch() noexcept = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

private:
    static constexpr std::size_t kInline = 8192;

    void* do_allocate(std::size_t n, std::size_t align) override {
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
    void do_deallocate(void* p, std::size_t n, std::size_t align) override {
        char* c = static_cast<char*>(p);
        if (c >= inline_ && c < inline_ + kInline) {
            if (c + n == inline_ + used_) used_ = static_cast<std::size_t>(c - inline_);
            return;
        }
        if (align > 16) ::operator delete(p, std::align_val_t(align));
        else std::free(p);
    }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

    alignas(16) char inline_[kInline];
    std::size_t used_ = 0;
};

}  // namespace tessik::json
