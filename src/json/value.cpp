#include "json/value.hpp"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <cerrno>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#else
#include <random>
#endif

#include "json/portable.hpp"

namespace tessik::json {

// ---------------------------------------------------------------- Number

double Number::to_double() const noexcept {
    switch (form_) {
        case Form::Unsigned: return static_cast<double>(u_);
        case Form::Negative: return static_cast<double>(i_);
        case Form::Double: break;
    }
    return d_;
}

bool operator==(const Number& a, const Number& b) noexcept {
    if (a.form_ != b.form_) return false;
    switch (a.form_) {
        case Number::Form::Unsigned: return a.u_ == b.u_;
        case Number::Form::Negative: return a.i_ == b.i_;
        case Number::Form::Double: break;
    }
    return a.d_ == b.d_;
}

// ---------------------------------------------------------------- Value

Value::Value(Map m) : kind_(Kind::Object), m_(new Map(std::move(m))) {}

Value Value::from_double(double d) noexcept {
    auto n = Number::from_double(d);
    return n ? Value(*n) : Value();
}

Value::Value(const Value& other) : kind_(other.kind_) {
    switch (kind_) {
        case Kind::Null: break;
        case Kind::Bool: b_ = other.b_; break;
        case Kind::Number: n_ = other.n_; break;
        case Kind::String: new (&s_) String(other.s_); break;
        case Kind::Array: {
            // Exactly the source's element count.
            new (&a_) Array();
            try {
                a_.reserve(other.a_.size());
                for (const Value& v : other.a_) a_.push_back(v);
            } catch (...) {
                a_.~Array();
                kind_ = Kind::Null;
                throw;
            }
            break;
        }
        case Kind::Object:
            kind_ = Kind::Null;  // stays destructible if the copy throws
            m_ = new Map(*other.m_);
            kind_ = Kind::Object;
            break;
    }
}

Value& Value::operator=(const Value& other) {
    if (this != &other) {
        Value copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Value& Value::operator=(Value&& other) noexcept {
    if (this != &other) {
        destroy();
        move_from(other);
    }
    return *this;
}

void Value::move_from(Value& other) noexcept {
    kind_ = other.kind_;
    switch (kind_) {
        case Kind::Null: break;
        case Kind::Bool: b_ = other.b_; break;
        case Kind::Number: n_ = other.n_; break;
        case Kind::String: new (&s_) String(std::move(other.s_)); break;
        case Kind::Array: new (&a_) Array(std::move(other.a_)); break;
        case Kind::Object:
            m_ = other.m_;
            other.m_ = nullptr;
            break;
    }
    // The source keeps a valid, empty state of its kind; make it Null so
    // that its destructor has nothing to do.
    other.destroy();
    other.kind_ = Kind::Null;
}

void Value::destroy() noexcept {
    switch (kind_) {
        case Kind::String: s_.~String(); break;
        case Kind::Array: a_.~Array(); break;
        case Kind::Object: delete m_; break;
        default: break;
    }
    kind_ = Kind::Null;
}

bool operator==(const Value& a, const Value& b) noexcept {
    if (a.kind_ != b.kind_) return false;
    switch (a.kind_) {
        case Value::Kind::Null: return true;
        case Value::Kind::Bool: return a.b_ == b.b_;
        case Value::Kind::Number: return a.n_ == b.n_;
        case Value::Kind::String: return a.s_ == b.s_;
        case Value::Kind::Array: return a.a_ == b.a_;
        case Value::Kind::Object: break;
    }
    return *a.m_ == *b.m_;
}

// ---------------------------------------------------------------- hashing

namespace {

inline std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

struct SipState {
    std::uint64_t v0, v1, v2, v3;
    void round() noexcept {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    }
    void absorb(std::uint64_t m) noexcept {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = portable::byteswap64(w);
    return w;
}

// Fills `out` from the system's entropy; false when there is none to give.
// On Linux the kernel is asked directly, not through std::random_device:
// libstdc++'s reaches for arc4random and getentropy, which glibc before
// 2.25 and 2.36 lacks, and the wheels load on glibc 2.17.
bool system_entropy(std::uint64_t (&out)[2]) noexcept {
#if defined(__linux__)
    char* p = reinterpret_cast<char*>(out);
    std::size_t need = sizeof out;
#if defined(SYS_getrandom)
    // GRND_NONBLOCK: never wait at early boot; /dev/urandom below does not either.
    long got = syscall(SYS_getrandom, p, need, 1);
    if (got == static_cast<long>(need)) return true;
#endif
    // Kernels before 3.17 have no getrandom.
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    while (need > 0) {
        ssize_t n = read(fd, p, need);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        need -= static_cast<std::size_t>(n);
    }
    close(fd);
    return need == 0;
#else
    try {
        std::random_device rd;
        out[0] = (std::uint64_t(rd()) << 32) ^ rd();
        out[1] = (std::uint64_t(rd()) << 32) ^ rd();
        return true;
    } catch (...) {
        return false;
    }
#endif
}

// Per-thread hash keys: drawn once per thread from the system's entropy,
// then stepped for every new map, so no two maps of a thread share keys and
// no thread touches another's state.
struct ThreadKeys {
    std::uint64_t k0;
    std::uint64_t k1;
    ThreadKeys() noexcept : k0(0x736f6d6570736575ULL), k1(0x646f72616e646f6dULL) {
        std::uint64_t drawn[2];
        if (system_entropy(drawn)) {
            k0 ^= drawn[0];
            k1 ^= drawn[1];
        } else {
            // No entropy source: fall back on addresses, still per thread.
            k0 ^= reinterpret_cast<std::uintptr_t>(this);
            k1 ^= reinterpret_cast<std::uintptr_t>(&k0) * 0x9E3779B97F4A7C15ULL;
        }
    }
};

thread_local ThreadKeys thread_keys;

}  // namespace

void draw_hash_keys(std::uint64_t& k0, std::uint64_t& k1) noexcept {
    ThreadKeys& keys = thread_keys;
    k0 = keys.k0;
    k1 = keys.k1;
    keys.k0 += 1;
}

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view bytes) noexcept {
    SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL,
               k0 ^ 0x6c7967656e657261ULL, k1 ^ 0x7465646279746573ULL};
    // The key bytes and a trailing 0xFF form the message.
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t len = bytes.size() + 1;
    std::size_t n = bytes.size();
    while (n >= 8) {
        s.absorb(load_le64(p));
        p += 8;
        n -= 8;
    }
    std::uint64_t tail = 0;
    std::size_t i = 0;
    for (; i < n; ++i) tail |= std::uint64_t(p[i]) << (8 * i);
    tail |= std::uint64_t(0xff) << (8 * i);
    std::uint64_t last = std::uint64_t(len & 0xff) << 56;
    if (i == 7) {
        // The 0xFF byte completed a word: absorb it; the length word follows.
        s.absorb(tail);
    } else {
        last |= tail;
    }
    s.absorb(last);
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// ---------------------------------------------------------------- Map

namespace {
constexpr std::size_t min_index_slots = 4;
// Up to this many entries a map has no index: a short scan of the keys is
// cheaper than hashing one.
constexpr std::size_t max_scanned_entries = 8;

// At most 7/8 of the slots are used.
inline std::size_t max_load(std::size_t slots) noexcept { return slots / 8 * 7 + (slots % 8) * 7 / 8; }
}  // namespace

Map::Map() noexcept {
    ThreadKeys& keys = thread_keys;
    k0_ = keys.k0;
    k1_ = keys.k1;
    keys.k0 += 1;
}

Map::Map(const Map& other) : k0_(other.k0_), k1_(other.k1_) {
    if (other.index_ != nullptr) {
        const std::size_t slots = other.mask_ + 1;
        index_ = static_cast<std::uint32_t*>(std::malloc(slots * sizeof(std::uint32_t)));
        if (index_ == nullptr) throw std::bad_alloc();
        std::memcpy(index_, other.index_, slots * sizeof(std::uint32_t));
        mask_ = other.mask_;
    }
    try {
        // Room for the index's capacity when it can be had, else exactly
        // the entry count.
        const std::size_t room = index_ ? max_load(mask_ + 1) : 0;
        try {
            entries_.reserve(room > other.size() ? room : other.size());
        } catch (const std::bad_alloc&) {
            entries_.reserve(other.size());
        }
        for (const Bucket& b : other.entries_) entries_.push_back(b);
    } catch (...) {
        release_index();
        throw;
    }
}

Map::Map(Map&& other) noexcept
    : entries_(std::move(other.entries_)), index_(other.index_), mask_(other.mask_),
      k0_(other.k0_), k1_(other.k1_) {
    other.index_ = nullptr;
    other.mask_ = 0;
}

Map& Map::operator=(const Map& other) {
    if (this != &other) {
        Map copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Map& Map::operator=(Map&& other) noexcept {
    if (this != &other) {
        release_index();
        entries_ = std::move(other.entries_);
        index_ = other.index_;
        mask_ = other.mask_;
        k0_ = other.k0_;
        k1_ = other.k1_;
        other.index_ = nullptr;
        other.mask_ = 0;
    }
    return *this;
}

Map::~Map() { release_index(); }

void Map::release_index() noexcept {
    std::free(index_);
    index_ = nullptr;
    mask_ = 0;
}

std::uint64_t Map::hash_key(std::string_view key) const noexcept { return siphash13(k0_, k1_, key); }

std::size_t Map::probe(std::string_view key, std::uint64_t hash) const noexcept {
    std::size_t slot = hash & mask_;
    for (;;) {
        const std::uint32_t stored = index_[slot];
        if (stored == 0) return slot;
        const Bucket& b = entries_[stored - 1];
        if (b.hash == hash && b.key.size() == key.size() &&
            std::memcmp(b.key.data(), key.data(), key.size()) == 0)
            return slot;
        slot = (slot + 1) & mask_;
    }
}

void Map::grow_index(std::size_t entries) {
    // At least double, and enough room for the entries.
    std::size_t slots = index_ ? (mask_ + 1) * 2 : min_index_slots;
    while (max_load(slots) < entries) slots *= 2;
    auto* fresh = static_cast<std::uint32_t*>(std::calloc(slots, sizeof(std::uint32_t)));
    if (fresh == nullptr) throw std::bad_alloc();
    // Entries grow in step with the index.
    try {
        entries_.reserve(max_load(slots));
    } catch (...) {
        std::free(fresh);
        throw;
    }
    const std::size_t mask = slots - 1;
    for (std::size_t pos = 0; pos < entries_.size(); ++pos) {
        std::size_t slot = entries_[pos].hash & mask;
        while (fresh[slot] != 0) slot = (slot + 1) & mask;
        fresh[slot] = static_cast<std::uint32_t>(pos + 1);
    }
    std::free(index_);
    index_ = fresh;
    mask_ = mask;
}

std::size_t Map::scan(std::string_view key) const noexcept {
    for (std::size_t pos = 0; pos < entries_.size(); ++pos) {
        const String& k = entries_[pos].key;
        if (k.size() == key.size() && std::memcmp(k.data(), key.data(), key.size()) == 0) return pos;
    }
    return npos;
}

Map::Inserted Map::insert_full(String key, Value value) {
    if (index_ == nullptr) {
        // Small maps are searched linearly; their hashes are taken only
        // when the map outgrows the scan and the index is built.
        const std::size_t found = scan(key);
        if (found != npos) {
            Value previous = std::move(entries_[found].value);
            entries_[found].value = std::move(value);
            return {found, std::optional<Value>(std::move(previous))};
        }
        if (entries_.size() < max_scanned_entries) {
            if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.empty() ? 4 : 2 * entries_.size());
            entries_.push_back(Bucket{std::move(key), std::move(value), 0});
            return {entries_.size() - 1, std::nullopt};
        }
        for (Bucket& b : entries_) b.hash = hash_key(b.key);
        grow_index(entries_.size() + 1);
    }
    const std::uint64_t hash = hash_key(key);
    if (entries_.size() + 1 > max_load(mask_ + 1)) grow_index(entries_.size() + 1);
    const std::size_t slot = probe(key, hash);
    if (index_[slot] != 0) {
        const std::size_t pos = index_[slot] - 1;
        Value previous = std::move(entries_[pos].value);
        entries_[pos].value = std::move(value);
        return {pos, std::optional<Value>(std::move(previous))};
    }
    const std::size_t pos = entries_.size();
    entries_.push_back(Bucket{std::move(key), std::move(value), hash});
    index_[slot] = static_cast<std::uint32_t>(pos + 1);
    return {pos, std::nullopt};
}

std::size_t Map::position_of(std::string_view key) const noexcept {
    if (index_ == nullptr) return scan(key);  // one entry or a few: no hashing
    const std::uint32_t stored = index_[probe(key, hash_key(key))];
    return stored == 0 ? npos : stored - 1;
}

const Value* Map::get(std::string_view key) const noexcept {
    const std::size_t pos = position_of(key);
    return pos == npos ? nullptr : &entries_[pos].value;
}

bool operator==(const Map& a, const Map& b) noexcept {
    if (a.size() != b.size()) return false;
    for (const Bucket& e : a.entries_) {
        const Value* other = b.get(e.key);
        if (other == nullptr || !(e.value == *other)) return false;
    }
    return true;
}

}  // namespace tessik::json
