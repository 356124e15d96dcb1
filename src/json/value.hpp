// In-memory JSON document: Value, Number and the insertion-ordered Map.
//
// Values are plain owned trees: no sharing, no parent links, deep copies.
// The reader bounds nesting at 127 levels, which bounds the recursion of
// copying, comparing, writing and destroying.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessik::json {

class Value;
class Map;

using String = std::string;
using Array = std::vector<Value>;

// A JSON number in one of three forms. Integers of zero or more are always
// Unsigned; Negative is always below zero; Double is always finite.
class Number {
public:
    enum class Form : std::uint8_t { Unsigned, Negative, Double };

    static constexpr Number from_u64(std::uint64_t u) noexcept { return Number(u); }
    static constexpr Number from_i64(std::int64_t i) noexcept {
        return i < 0 ? Number(Form::Negative, i) : Number(static_cast<std::uint64_t>(i));
    }
    // No number for a non-finite double: the caller builds Null instead.
    static std::optional<Number> from_double(double d) noexcept {
        if (!std::isfinite(d)) return std::nullopt;
        return Number(Form::Double, d);
    }

    constexpr Form form() const noexcept { return form_; }
    constexpr std::uint64_t as_u64() const noexcept { return u_; }
    constexpr std::int64_t as_i64() const noexcept { return i_; }
    constexpr double as_double() const noexcept { return d_; }

    // Nearest double, ties to even, as the processor converts integers.
    double to_double() const noexcept;

    // Forms never compare equal to each other; doubles compare as IEEE.
    friend bool operator==(const Number& a, const Number& b) noexcept;

private:
    constexpr explicit Number(std::uint64_t u) noexcept : form_(Form::Unsigned), u_(u) {}
    constexpr Number(Form, std::int64_t i) noexcept : form_(Form::Negative), i_(i) {}
    constexpr Number(Form, double d) noexcept : form_(Form::Double), d_(d) {}

    Form form_;
    union {
        std::uint64_t u_;
        std::int64_t i_;
        double d_;
    };
};

class Value {
public:
    enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };

    Value() noexcept : kind_(Kind::Null) {}
    explicit Value(std::nullptr_t) noexcept : Value() {}
    explicit Value(bool b) noexcept : kind_(Kind::Bool), b_(b) {}
    explicit Value(Number n) noexcept : kind_(Kind::Number), n_(n) {}
    explicit Value(String s) noexcept : kind_(Kind::String) { new (&s_) String(std::move(s)); }
    explicit Value(Array a) noexcept : kind_(Kind::Array) { new (&a_) Array(std::move(a)); }
    explicit Value(Map m);

    // Convenience builders following the number invariants.
    static Value from_u64(std::uint64_t u) noexcept { return Value(Number::from_u64(u)); }
    static Value from_i64(std::int64_t i) noexcept { return Value(Number::from_i64(i)); }
    static Value from_double(double d) noexcept;  // Null when not finite

    Value(const Value& other);
    Value(Value&& other) noexcept { move_from(other); }
    Value& operator=(const Value& other);
    Value& operator=(Value&& other) noexcept;
    ~Value() { destroy(); }

    Kind kind() const noexcept { return kind_; }
    bool is_null() const noexcept { return kind_ == Kind::Null; }
    bool is_object() const noexcept { return kind_ == Kind::Object; }

    bool as_bool() const noexcept { return b_; }
    const Number& as_number() const noexcept { return n_; }
    const String& as_string() const noexcept { return s_; }
    const Array& as_array() const noexcept { return a_; }
    Array& as_array() noexcept { return a_; }
    const Map& as_object() const noexcept { return *m_; }
    Map& as_object() noexcept { return *m_; }

    friend bool operator==(const Value& a, const Value& b) noexcept;

private:
    void destroy() noexcept;
    void move_from(Value& other) noexcept;

    Kind kind_;
    union {
        bool b_;
        Number n_;
        String s_;
        Array a_;
        Map* m_;  // objects live on the heap to keep Value small
    };
};

// One entry of a Map. The hash is cached so that the index can be rebuilt
// without hashing any key again.
struct Bucket {
    String key;
    Value value;
    std::uint64_t hash;
};

// Insertion-ordered map from UTF-8 keys to values. Keys compare as raw
// bytes. Nothing is ever removed, so positions are dense and permanent.
//
// Maps of a few entries are searched by a short scan. Larger ones get an
// index: an open-addressing table of entry positions, keyed per map with
// random SipHash keys drawn from per-thread state, so crafted colliding keys
// cannot make lookups quadratic.
class Map {
public:
    Map() noexcept;
    Map(const Map& other);
    Map(Map&& other) noexcept;
    Map& operator=(const Map& other);
    Map& operator=(Map&& other) noexcept;
    ~Map();

    struct Inserted {
        std::size_t position;
        std::optional<Value> previous;
    };
    // Inserts or replaces: an existing key keeps its first position and key
    // object, takes the new value, and the old value is handed back.
    Inserted insert_full(String key, Value value);

    const Value* get(std::string_view key) const noexcept;
    // Position of the key, or npos.
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    std::size_t position_of(std::string_view key) const noexcept;

    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    const Bucket* begin() const noexcept { return entries_.data(); }
    const Bucket* end() const noexcept { return entries_.data() + entries_.size(); }
    const Bucket& entry(std::size_t position) const noexcept { return entries_[position]; }

    // Order-insensitive: same size, and every left key found on the right
    // with an equal value.
    friend bool operator==(const Map& a, const Map& b) noexcept;

    // Slot count of the index; 0 until the first insertion.
    std::size_t index_capacity() const noexcept { return index_ ? mask_ + 1 : 0; }

private:
    std::uint64_t hash_key(std::string_view key) const noexcept;
    // Slot holding the position of an equal key, or the empty slot where it
    // would go.
    std::size_t probe(std::string_view key, std::uint64_t hash) const noexcept;
    void grow_index(std::size_t entries);
    std::size_t scan(std::string_view key) const noexcept;
    void release_index() noexcept;

    std::vector<Bucket> entries_;
    std::uint32_t* index_ = nullptr;  // position + 1 per slot; 0 is empty
    std::size_t mask_ = 0;
    std::uint64_t k0_;
    std::uint64_t k1_;
};

// SipHash-1-3 of the bytes followed by one 0xFF byte.
std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view bytes) noexcept;

// Fresh SipHash keys from the calling thread's state, never handed out twice.
void draw_hash_keys(std::uint64_t& k0, std::uint64_t& k1) noexcept;

}  // namespace tessik::json
