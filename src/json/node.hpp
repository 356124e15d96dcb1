// The read-only document of one call: 16-byte nodes in a bump arena.
//
// The reader builds nodes, the transform looks at them and the writer
// writes them; the whole document is released at once with its Arena, with
// no per-value destruction. Strings point either into the input text (when
// they had no escapes, so the input must outlive the nodes) or into the
// arena. Arrays and objects are written once, at their final size.
//
// The owned Value is the deep-copyable model for callers that keep a
// document; to_value and to_node convert between the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory_resource>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "json/value.hpp"

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
    static constexpr std::size_t kInline = 4096;

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

// Bump allocator: blocks that grow geometrically, freed together. The first
// bytes come from inline storage so that tiny documents need no malloc.
class Arena {
public:
    // The first heap block is 1.5x the expected bytes (a payload's nodes
    // take about 1.3x its size): one allocation instead of a doubling
    // series, and the pages of its tail that are never touched cost nothing.
    explicit Arena(std::size_t expected_bytes = 0) noexcept
        : next_block_(expected_bytes > SIZE_MAX / 4 ? SIZE_MAX / 4 : expected_bytes + expected_bytes / 2) {
        if (next_block_ < kMinBlock) next_block_ = kMinBlock;
    }
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() {
        while (head_ != nullptr) std::free(std::exchange(head_, head_->previous));
    }

    // Room for n bytes aligned to 8; throws std::bad_alloc.
    void* allocate(std::size_t n) {
        n = (n + 7) & ~std::size_t{7};
        if (static_cast<std::size_t>(end_ - cur_) < n) grow(n);
        void* p = cur_;
        cur_ += n;
        return p;
    }

    // For the call's short-lived working vectors.
    std::pmr::memory_resource* scratch() noexcept { return &scratch_; }

    template <class T>
    const T* copy(const T* items, std::size_t n) {
        if (n == 0) return nullptr;
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void* p = allocate(n * sizeof(T));
        std::memcpy(p, items, n * sizeof(T));
        return static_cast<const T*>(p);
    }

private:
    static constexpr std::size_t kMinBlock = 16 * 1024;
    struct Block {
        Block* previous;
        std::size_t pad;  // keeps the data 16-aligned
    };
    void grow(std::size_t n);

    alignas(16) char inline_[1024];
    char* cur_ = inline_;
    char* end_ = inline_ + sizeof inline_;
    Block* head_ = nullptr;
    std::size_t next_block_;
    Scratch scratch_;
};

struct Member;

class Node {
public:
    using Kind = Value::Kind;

    Node() noexcept : meta_(static_cast<std::uint64_t>(Kind::Null)), u_(0) {}
    static Node boolean(bool b) noexcept { return Node(Kind::Bool, 0, b ? 1 : 0); }
    static Node number(const Number& n) noexcept;
    // A double read from a short decimal literal (significand below 2^35,
    // at most 31 fraction digits), which keeps the literal's digits so that
    // the writer needs no shortest-digits search.
    static Node short_decimal(double d, std::uint64_t significand, unsigned fraction_digits) noexcept {
        Node v(Kind::Number,
               (static_cast<std::uint64_t>(Number::Form::Double) << kFormShift) | (significand << (kSizeShift + 5)) |
                   (std::uint64_t{fraction_digits} << kSizeShift),
               0);
        v.d_ = d;
        return v;
    }
    // The digits kept by short_decimal; a significand of 0 when none.
    std::uint64_t decimal_significand() const noexcept { return size() >> 5; }
    unsigned decimal_fraction_digits() const noexcept { return static_cast<unsigned>(size() & 31); }
    // `plain`: the bytes need no escaping to be written (unescaped input).
    static Node string(const char* p, std::size_t n, bool plain) {
        Node v(Kind::String, size_bits(n) | (plain ? kPlain : 0), 0);
        v.p_ = p;
        return v;
    }
    static Node array(const Node* items, std::size_t n) {
        Node v(Kind::Array, size_bits(n), 0);
        v.p_ = items;
        return v;
    }
    static Node object(const Member* members, std::size_t n) {
        Node v(Kind::Object, size_bits(n), 0);
        v.p_ = members;
        return v;
    }

    // The reader's mark for a value it failed to read; never in a document.
    static Node invalid() noexcept { return Node(static_cast<Kind>(kKindMask), 0, 0); }
    bool is_invalid() const noexcept { return (meta_ & kKindMask) == kKindMask; }

    Kind kind() const noexcept { return static_cast<Kind>(meta_ & kKindMask); }
    bool is_null() const noexcept { return kind() == Kind::Null; }
    bool is_object() const noexcept { return kind() == Kind::Object; }
    bool as_bool() const noexcept { return u_ != 0; }
    Number as_number() const noexcept;
    double number_as_double() const noexcept { return as_number().to_double(); }
    std::string_view as_string() const noexcept { return {static_cast<const char*>(p_), size()}; }
    bool is_plain() const noexcept { return (meta_ & kPlain) != 0; }
    // Bytes of a string, elements of an array, members of an object.
    std::size_t size() const noexcept { return static_cast<std::size_t>((meta_ >> kSizeShift) & kSizeMask); }
    const Node* items() const noexcept { return static_cast<const Node*>(p_); }
    const Member* members() const noexcept { return static_cast<const Member*>(p_); }

    // As Value: objects compare ignoring member order.
    friend bool operator==(const Node& a, const Node& b) noexcept;

private:
    friend struct Member;
    static constexpr std::uint64_t kKindMask = 0x7;
    static constexpr unsigned kFormShift = 3;  // two bits of Number::Form
    static constexpr std::uint64_t kPlain = 0x20;
    // On a member's value: the member's key needs no escaping when written.
    static constexpr std::uint64_t kKeyPlain = 0x40;
    // Sizes take 40 bits (a terabyte, beyond any payload held in memory);
    // the top 16 bits are the key length of a member's value.
    static constexpr unsigned kSizeShift = 8;
    static constexpr std::uint64_t kSizeMask = (std::uint64_t{1} << 40) - 1;
    static constexpr unsigned kKeyShift = 48;

    static std::uint64_t size_bits(std::size_t n) {
        if (n > kSizeMask) throw std::bad_alloc();
        return static_cast<std::uint64_t>(n) << kSizeShift;
    }

    Node(Kind k, std::uint64_t rest, std::uint64_t u) noexcept : meta_(static_cast<std::uint64_t>(k) | rest), u_(u) {}

    std::uint64_t meta_;
    union {
        std::uint64_t u_;
        std::int64_t i_;
        double d_;
        const void* p_;
    };
};
static_assert(sizeof(Node) == 16);

// Byte equality for keys, which are short: inline word compares instead of
// a library call per comparison.
inline bool same_key(std::string_view a, std::string_view b) noexcept {
    std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    for (; n >= 8; n -= 8, p += 8, q += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, p, 8);
        std::memcpy(&y, q, 8);
        if (x != y) return false;
    }
    for (; n != 0; --n)
        if (*p++ != *q++) return false;
    return true;
}

// A key and its value in 24 bytes: the key's length rides in the top bits
// of the value's tag word. Keys of 65535 bytes or more are copied into the
// arena after an 8-byte length, and the tag holds 65535.
struct Member {
    const char* key;
    Node value;  // read through the Node accessors, which ignore the key bits

    // `plain_key`: the key's bytes need no escaping to be written.
    static Member make(std::string_view key, const Node& value, Arena& arena, bool plain_key = false) {
        Member m{key.data(), value};
        if (plain_key) m.value.meta_ |= Node::kKeyPlain;
        std::uint64_t length = key.size();
        if (length >= kLongKey) {
            auto* copy = static_cast<char*>(arena.allocate(8 + key.size()));
            std::memcpy(copy, &length, 8);
            std::memcpy(copy + 8, key.data(), key.size());
            m.key = copy + 8;
            length = kLongKey;
        }
        m.value.meta_ |= length << Node::kKeyShift;
        return m;
    }
    // Appends make(key, value, arena) to a vector of members, writing the
    // fields in place: a member built aside and copied in as one block
    // stalls on the store buffer.
    template <class Vector>
    static void append(Vector& members, std::string_view key, bool plain_key, const Node& value, Arena& arena) {
        if (key.size() >= kLongKey) {
            members.push_back(make(key, value, arena, plain_key));
            return;
        }
        Member& m = members.emplace_back();
        m.key = key.data();
        m.value.meta_ = value.meta_ | (std::uint64_t{key.size()} << Node::kKeyShift) |
                        (plain_key ? Node::kKeyPlain : 0);
        m.value.u_ = value.u_;
    }
    // Replaces the value, keeping the key.
    void set_value(const Node& v) noexcept {
        const std::uint64_t key_bits = value.meta_ & (kKeyBits | Node::kKeyPlain);
        value = v;
        value.meta_ = (value.meta_ & ~(kKeyBits | Node::kKeyPlain)) | key_bits;
    }
    bool is_key_plain() const noexcept { return (value.meta_ & Node::kKeyPlain) != 0; }
    std::string_view key_view() const noexcept {
        std::uint64_t length = value.meta_ >> Node::kKeyShift;
        if (length == kLongKey) std::memcpy(&length, key - 8, 8);
        return {key, static_cast<std::size_t>(length)};
    }

private:
    static constexpr std::uint64_t kLongKey = 0xFFFF;
    static constexpr std::uint64_t kKeyBits = kLongKey << Node::kKeyShift;
};
static_assert(sizeof(Member) == 24);

// Deep owned copy.
Value to_value(const Node& node);
// A view of an owned value: its strings stay where they are, its arrays and
// objects are laid out in the arena.
Node to_node(const Value& value, Arena& arena);

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
    if ((used_ + 1) * 8 > slots_.size() * 7) grow();
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

}  // namespace tessik::json
