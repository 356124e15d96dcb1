#include "transform/columnar.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <string_view>
#include <utility>
#include <vector>

#include "json/key_index.hpp"
#include "json/nearest_double.hpp"
#include "json/pages.hpp"
#include "json/portable.hpp"
#include "json/reader.hpp"
#include "json/scratch.hpp"
#include "json/writer.hpp"
#include "transform/entry.hpp"

namespace tessik::transform {

namespace {

using json::Buffer;
using json::Byte;
using json::NumberToken;
using json::StringToken;
using Kind = json::Value::Kind;

constexpr std::string_view row_prefix = "expected a JSON object row, got: ";

std::string_view span(const Byte* begin, const Byte* end) noexcept {
    return {reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin)};
}

// A cell of a row: the compact text of its value, which lies in the input
// when the input already held exactly that text, else in the TextStore.
class Cell {
public:
    Cell() noexcept = default;
    Cell(std::string_view text, Kind kind) noexcept
        : text_(text.data()), size_kind_((static_cast<std::uint64_t>(text.size()) << 3) | static_cast<unsigned>(kind)) {}
    std::string_view text() const noexcept { return {text_, static_cast<std::size_t>(size_kind_ >> 3)}; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(size_kind_ >> 3); }
    Kind kind() const noexcept { return static_cast<Kind>(size_kind_ & 7); }

private:
    const char* text_ = "null";
    std::uint64_t size_kind_ = (std::uint64_t{4} << 3) | static_cast<unsigned>(Kind::Null);
};
static_assert(sizeof(Cell) == 16);

// Stable storage for the texts that differ from the input: blocks that are
// never moved, freed together. The text being made (a piece) is written at
// the free end of the current block and moves only while it is open, when
// it outgrows the block; keep() and commit() make texts stable.
class TextStore {
public:
    const char* keep(std::string_view text) {
        char* p = room(0, text.size());
        if (!text.empty()) std::memcpy(p, text.data(), text.size());
        cur_ += text.size();
        return p;
    }
    // Where the open piece of `size` bytes lies once there is room for
    // `more` after it.
    char* room(std::size_t size, std::size_t more) {
        if (static_cast<std::size_t>(end_ - cur_) - size < more) grow(size, more);
        return cur_;
    }
    char* piece() const noexcept { return cur_; }
    void commit(std::size_t size) noexcept { cur_ += size; }

private:
    void grow(std::size_t size, std::size_t more) {
        if (more > SIZE_MAX / 2 - size) throw std::bad_alloc();
        next_ = std::max(next_ * 2, size + more);
        json::pages::Block block(next_);
        if (size != 0) std::memcpy(block.data(), cur_, size);
        blocks_.push_back(std::move(block));
        cur_ = blocks_.back().data();
        end_ = cur_ + next_;
    }
    std::vector<json::pages::Block> blocks_;
    char* cur_ = nullptr;
    char* end_ = nullptr;
    std::size_t next_ = 8 * 1024;
};

// The open piece of a TextStore, written like a buffer.
class Piece {
public:
    explicit Piece(TextStore& store) noexcept : store_(store) {}
    void clear() noexcept { size_ = 0; }
    std::size_t size() const noexcept { return size_; }
    const char* data() const noexcept { return store_.piece(); }
    void push(char c) {
        char* p = store_.room(size_, 1);
        p[size_] = c;
        ++size_;
    }
    void append(const char* p, std::size_t n) {
        json::copy_bytes(store_.room(size_, n) + size_, p, n);
        size_ += n;
    }
    void append(std::string_view text) { append(text.data(), text.size()); }
    void truncate(std::size_t n) noexcept { size_ = std::min(size_, n); }
    // The text, now stable; the piece starts anew.
    std::string_view commit() noexcept {
        const std::string_view text(store_.piece(), size_);
        store_.commit(size_);
        size_ = 0;
        return text;
    }

private:
    TextStore& store_;
    std::size_t size_ = 0;
};

// The compact text of a string whose input had escapes other than the
// writer's: the reader gives its content in the writer's form, quoted in
// memory. Valid until the next string is read.
std::string_view escaped_text(const StringToken& t) {
    return std::string_view(t.text.data() - 1, t.text.size() + 2);
}

// Whether a short decimal literal ("I.F", with a sign perhaps) is already
// written as the writer writes its double: the literal's own digits
// without trailing zeros, in fixed notation down to 0.0000d.
bool is_written_form(std::string_view literal) noexcept {
    if (literal[0] == '-') literal.remove_prefix(1);
    const std::size_t dot = literal.find('.');
    const std::string_view whole = literal.substr(0, dot), fraction = literal.substr(dot + 1);
    if (whole != "0") return fraction.back() != '0' || fraction == "0";
    // Below 1: at most four zeros before the first digit.
    std::size_t zeros = 0;
    while (zeros < fraction.size() && fraction[zeros] == '0') ++zeros;
    return zeros <= 4 && fraction.back() != '0';
}

// The compact text of a number: the literal itself when it is already
// written that way, else the writer's form in `buf` (max_number_chars).
std::string_view number_text(const NumberToken& t, char* buf) {
    const std::string_view literal = span(t.begin, t.end);
    // Integer forms come only from integer literals, which have no leading
    // zeros: their digits are the written form ("-0" reads as a double).
    if (t.number.form() != json::Number::Form::Double) return literal;
    std::size_t n;
    if (t.decimal.significand != 0) {
        if (is_written_form(literal)) return literal;
        n = json::format_short_decimal(std::signbit(t.number.as_double()), t.decimal.significand,
                                       t.decimal.fraction_digits, buf);
    } else {
        n = json::format_number(t.number, buf);
    }
    const std::string_view text(buf, n);
    return text == literal ? literal : text;
}

// Canonical text of one value whose text may differ from the input
// (whitespace, escapes, number layouts, repeated keys): the input is copied
// lazily, only from the first byte that differs. The canonical text so far
// is piece_ followed by the input from clean_from_ to expect_.
class Emitter {
public:
    Emitter(Buffer& scratch, TextStore& store, json::Scratch* memory) noexcept
        : scratch_(scratch), piece_(store), open_(memory), members_(memory) {}

    void start(const Byte* at) {
        piece_.clear();
        clean_from_ = expect_ = at;
        open_.clear();
        members_.clear();
    }
    // The text: a view of the input, or of the store when it differs.
    std::string_view finish() {
        if (piece_.size() == 0) return span(clean_from_, expect_);
        flush();
        return piece_.commit();
    }

    void open(const Byte* at, bool object) {
        const std::size_t position = token(at, at + 1, separator(), {});
        open_.push_back(Open{object, false, kScanned, 0, members_.size(), position, 0});
    }
    void close(const Byte* at) {
        token(at, at + 1, 0, {});
        const Open o = open_.back();
        open_.pop_back();
        if (o.object) {
            if (o.repeated) merge_repeated(o);
            else remember_shape(o);
            members_.resize(o.members);
        }
        value_done();
    }
    void key(const StringToken& t);
    void string(const StringToken& t) {
        token(t.open, t.end, separator(), t.compact ? std::string_view() : escaped_text(t));
        value_done();
    }
    void number(const NumberToken& t) {
        char buf[json::max_number_chars];
        token(t.begin, t.end, separator(), number_text(t, buf));
        value_done();
    }
    void literal(const Byte* begin, const Byte* end) {
        token(begin, end, separator(), {});
        value_done();
    }

private:
    static constexpr std::size_t npos = json::KeyIndex::npos;
    static constexpr std::size_t kMaxScannedMembers = 16;
    enum Large : std::uint8_t { kScanned, kIndexed, kOnShape };

    struct Open {
        bool object;
        bool repeated;       // a key came twice: merged when the object closes
        Large large;         // how keys past the scanned size are checked
        std::size_t count;   // elements or member records so far
        std::size_t members; // its first record in members_
        std::size_t at;      // its bracket in the canonical text
        std::uint64_t seen;  // fingerprints of the first keys
    };
    // A member of an open object, with positions in the canonical text.
    struct Member {
        const char* key;  // in the input; nullptr: at key_at + 1 in piece_
        std::size_t key_size;
        std::size_t key_at;  // its opening quote
        std::size_t value_at;
        std::size_t value_end;
        std::size_t repeat_of;  // npos, or the record of its first occurrence
    };

    std::size_t position() const noexcept {
        return piece_.size() + static_cast<std::size_t>(expect_ - clean_from_);
    }
    void flush() {
        piece_.append(reinterpret_cast<const char*>(clean_from_), static_cast<std::size_t>(expect_ - clean_from_));
        clean_from_ = expect_;
    }
    // The separator before the next value in the innermost container.
    char separator() noexcept {
        if (open_.empty()) return 0;
        Open& o = open_.back();
        if (o.object) return ':';
        return o.count++ != 0 ? ',' : 0;
    }
    // Adds a token found at [b, e) after `sep`; `text` is its canonical
    // text, or empty when that is the input's. Returns where the token
    // starts in the canonical text.
    std::size_t token(const Byte* b, const Byte* e, char sep, std::string_view text) {
        // Anything between two tokens but the separator is whitespace.
        if (b - expect_ != (sep != 0 ? 1 : 0)) {
            flush();
            if (sep != 0) piece_.push(sep);
            clean_from_ = expect_ = b;
        }
        const std::size_t at = piece_.size() + static_cast<std::size_t>(b - clean_from_);
        if (text.empty() || text == span(b, e)) {
            expect_ = e;
        } else {
            expect_ = b;
            flush();
            piece_.append(text);
            clean_from_ = expect_ = e;
        }
        return at;
    }
    void value_done() {
        if (!open_.empty() && open_.back().object) members_.back().value_end = position();
    }
    std::string_view key_of(const Member& m) const noexcept {
        if (m.key != nullptr) return {m.key, m.key_size};
        return {piece_.data() + m.key_at + 1, m.key_size};
    }
    std::size_t find_repeated(Open& o, std::string_view key);
    void index_keys(const Open& o, std::size_t level);
    void merge_repeated(const Open& o);
    void remember_shape(const Open& o);
    static std::size_t shape_slot(std::string_view first_key) noexcept {
        return (first_key.size() * 7 + (first_key.empty() ? 0 : static_cast<unsigned char>(first_key[0]))) % kShapes;
    }

    Buffer& scratch_;
    Piece piece_;
    const Byte* clean_from_ = nullptr;
    const Byte* expect_ = nullptr;
    json::ScratchVector<Open> open_;
    json::ScratchVector<Member> members_;

    // The keys of the last closed large object per first-key fingerprint,
    // kept when all of them lie in the input: an object whose keys follow
    // one of these in order has no repeated key among them. Followed
    // through a copy per level, since nested objects may replace them.
    static constexpr std::size_t kShapes = 16;
    struct LargeObjects {
        std::vector<json::KeyIndex> indexes;  // per open level
        std::vector<std::string_view> shapes[kShapes];
        std::vector<std::vector<std::string_view>> following;
    };
    // Made for the first object past the scanned size: most payloads have none.
    std::unique_ptr<LargeObjects> large_;
    LargeObjects& large() {
        if (!large_) large_ = std::make_unique<LargeObjects>();
        return *large_;
    }
};

void Emitter::key(const StringToken& t) {
    Open& o = open_.back();
    const char sep = o.count++ != 0 ? ',' : 0;
    const std::string_view text = t.compact ? std::string_view() : escaped_text(t);
    const std::size_t at = token(t.open, t.end, sep, text);
    // Left as it stands, the key's canonical text is the input's.
    const bool in_input = piece_.size() <= at;
    const std::size_t canonical_size = (in_input ? static_cast<std::size_t>(t.end - t.open) : text.size()) - 2;
    const char* key = in_input ? reinterpret_cast<const char*>(t.open) + 1 : nullptr;
    const std::string_view canonical(key != nullptr ? key : piece_.data() + at + 1, canonical_size);
    const std::size_t found = find_repeated(o, canonical);
    if (found != npos) o.repeated = true;
    // The ":" follows the closing quote; value_done() sets value_end.
    members_.push_back(Member{key, canonical_size, at, at + canonical_size + 3, 0, found});
}

// The record of an equal key earlier in the open object, or npos.
std::size_t Emitter::find_repeated(Open& o, std::string_view key) {
    const std::size_t count = members_.size() - o.members;
    const Member* run = members_.data() + o.members;
    if (count < kMaxScannedMembers) {
        // A cheap fingerprint: length and the first and last bytes.
        const unsigned char head = key.empty() ? 0 : static_cast<unsigned char>(key.front());
        const unsigned char tail = key.empty() ? 0 : static_cast<unsigned char>(key.back());
        const std::uint64_t bit = std::uint64_t{1} << ((key.size() * 7 + head * 3 + tail) & 63);
        const bool maybe = (o.seen & bit) != 0;
        o.seen |= bit;
        if (!maybe) return npos;
        for (std::size_t i = 0; i < count; ++i)
            if (run[i].repeat_of == npos && json::same_key(key_of(run[i]), key)) return o.members + i;
        return npos;
    }
    const std::size_t level = open_.size() - 1;
    if (o.large == kScanned) {
        const std::vector<std::string_view>& shape = large().shapes[shape_slot(key_of(run[0]))];
        bool follows = !o.repeated && shape.size() >= count;
        for (std::size_t i = 0; follows && i < count; ++i) follows = json::same_key(shape[i], key_of(run[i]));
        if (follows) {
            std::vector<std::vector<std::string_view>>& following = large().following;
            if (following.size() <= level) following.resize(level + 1);
            following[level] = shape;
            o.large = kOnShape;
        } else {
            o.large = kIndexed;
            index_keys(o, level);
        }
    }
    if (o.large == kOnShape) {
        const std::vector<std::string_view>& shape = large().following[level];
        if (count < shape.size() && json::same_key(shape[count], key)) return npos;
        o.large = kIndexed;
        index_keys(o, level);
    }
    auto key_at = [&](std::size_t i) { return key_of(run[i]); };
    const std::size_t i = large().indexes[level].find_or_insert(key, count, key_at);
    return i == npos ? npos : o.members + i;
}

void Emitter::index_keys(const Open& o, std::size_t level) {
    std::vector<json::KeyIndex>& indexes = large().indexes;
    if (indexes.size() <= level) indexes.resize(level + 1);
    json::KeyIndex& index = indexes[level];
    index.clear();
    const Member* run = members_.data() + o.members;
    auto key_at = [&](std::size_t i) { return key_of(run[i]); };
    for (std::size_t i = 0; i < members_.size() - o.members; ++i)
        if (run[i].repeat_of == npos) index.find_or_insert(key_of(run[i]), i, key_at);
}

// Rewrites a closed object that repeated a key: each key at its first
// position with its last value, as a map keeps them.
void Emitter::merge_repeated(const Open& o) {
    flush();
    for (std::size_t i = o.members; i < members_.size(); ++i) {
        const Member& m = members_[i];
        if (m.repeat_of == npos) continue;
        members_[m.repeat_of].value_at = m.value_at;
        members_[m.repeat_of].value_end = m.value_end;
    }
    scratch_.clear();
    scratch_.push('{');
    bool any = false;
    for (std::size_t i = o.members; i < members_.size(); ++i) {
        const Member& m = members_[i];
        if (m.repeat_of != npos) continue;
        if (any) scratch_.push(',');
        any = true;
        // The quoted key and its ":", then the value.
        scratch_.append(piece_.data() + m.key_at, m.key_size + 3);
        scratch_.append(piece_.data() + m.value_at, m.value_end - m.value_at);
    }
    scratch_.push('}');
    // The object is the tail of piece_, from its brace at o.at.
    piece_.truncate(o.at);
    piece_.append(scratch_.view());
}

void Emitter::remember_shape(const Open& o) {
    const std::size_t count = members_.size() - o.members;
    if (count < kMaxScannedMembers) return;
    const Member* run = members_.data() + o.members;
    for (std::size_t i = 0; i < count; ++i)
        if (run[i].key == nullptr) return;
    std::vector<std::string_view>& shape = large().shapes[shape_slot(key_of(run[0]))];
    shape.clear();
    for (std::size_t i = 0; i < count; ++i) shape.push_back(key_of(run[i]));
}

// The value of a top-level number cell as a double, from its compact text.
double number_value(std::string_view text) noexcept {
    double d = 0;
    if (text.find_first_of(".e") != std::string_view::npos) {
        // The shortest digits of a double read back, correctly rounded, as
        // that double.
#if TESSIK_HAVE_FROM_CHARS_DOUBLE
        std::from_chars(text.data(), text.data() + text.size(), d);
#else
        json::nearest_double(text.data(), text.data() + text.size(), d);
#endif
    } else if (text[0] == '-') {
        std::int64_t i = 0;
        std::from_chars(text.data(), text.data() + text.size(), i);
        d = static_cast<double>(i);
    } else {
        std::uint64_t u = 0;
        std::from_chars(text.data(), text.data() + text.size(), u);
        d = static_cast<double>(u);
    }
    return d;
}

// The end of the compact value that starts at p.
const char* skip_value(const char* p) noexcept {
    int depth = 0;
    for (;; ++p) {
        const char c = *p;
        if (c == '"') {
            for (++p; *p != '"'; ++p)
                if (*p == '\\') ++p;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            if (--depth == 0) return p + 1;
        } else if (depth == 0) {
            // A scalar ends before the next delimiter.
            while (*p != ',' && *p != ']' && *p != '}' && *p != ':' && *p != '\0') ++p;
            return p;
        }
        if (depth == 0) return p + 1;
    }
}

// Equality of two values given as compact texts, as values compare: texts
// differ for equal values only through member order and the sign of a
// double zero. Same text, same value, since the compact text of a value is
// unique.
bool texts_equal(std::string_view a, std::string_view b);

// Splits the elements or members of a container's compact text.
void split(std::string_view text, std::vector<std::string_view>& parts) {
    const char* p = text.data() + 1;
    const char* end = text.data() + text.size() - 1;
    while (p < end) {
        const char* start = p;
        p = skip_value(p);
        if (*p == ':') p = skip_value(p + 1);
        parts.emplace_back(start, static_cast<std::size_t>(p - start));
        ++p;  // the ","
    }
}

bool texts_equal(std::string_view a, std::string_view b) {
    if (a == b) return true;
    // Reordered members keep the length; only a zero's sign changes it.
    if (a.size() != b.size() && a.find("-0.0") == std::string_view::npos &&
        b.find("-0.0") == std::string_view::npos)
        return false;
    const char ca = a[0], cb = b[0];
    if (ca == '[' || ca == '{') {
        if (cb != ca) return false;
        std::vector<std::string_view> pa, pb;
        split(a, pa);
        split(b, pb);
        if (pa.size() != pb.size()) return false;
        if (ca == '[') {
            for (std::size_t i = 0; i < pa.size(); ++i)
                if (!texts_equal(pa[i], pb[i])) return false;
            return true;
        }
        // Members as key text and value text; keys are distinct in each.
        auto key_of = [](std::string_view m) { return m.substr(0, static_cast<std::size_t>(skip_value(m.data()) - m.data())); };
        auto by_key = [&](std::string_view x, std::string_view y) { return key_of(x) < key_of(y); };
        std::sort(pa.begin(), pa.end(), by_key);
        std::sort(pb.begin(), pb.end(), by_key);
        for (std::size_t i = 0; i < pa.size(); ++i) {
            const std::string_view ka = key_of(pa[i]), kb = key_of(pb[i]);
            if (ka != kb || !texts_equal(pa[i].substr(ka.size() + 1), pb[i].substr(kb.size() + 1))) return false;
        }
        return true;
    }
    // Numbers of the same form differ in text unless both are double zeros.
    auto is_zero = [](std::string_view t) { return t == "0.0" || t == "-0.0"; };
    return is_zero(a) && is_zero(b);
}

// An integer's text of at most 15 digits (integer texts are written without
// leading zeros, and never as "-0").
bool is_short_integer(std::string_view text) noexcept {
    if (text.size() > 16 || (text.size() == 16 && text[0] != '-')) return false;
    for (const char c : text)
        if ((c < '0' || c > '9') && c != '-') return false;
    return true;
}

// Inline, as rows are short: a library call per row costs more.
bool same_ids(const std::uint32_t* a, const std::uint32_t* b, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// Top-level cells: numbers match by their double value, everything else by
// value equality.
bool cells_match(const Cell& cell, const Cell& reference) {
    if (cell.kind() != reference.kind()) return false;
    // Cells are mostly as short as keys: inline word compares.
    if (json::same_key(cell.text(), reference.text())) return true;
    switch (cell.kind()) {
        case Kind::Number:
            // Integers of up to 15 digits are exact doubles: different texts,
            // different values.
            if (is_short_integer(cell.text()) && is_short_integer(reference.text())) return false;
            return number_value(cell.text()) == number_value(reference.text());
        case Kind::Array:
        case Kind::Object: return texts_equal(cell.text(), reference.text());
        default: return false;
    }
}

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
        if (mapped_) json::pages::unmap(data_, capacity_ * sizeof(T));
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

private:
    void grow() {
        if (capacity_ > SIZE_MAX / 4 / sizeof(T)) throw std::bad_alloc();
        const std::size_t capacity = capacity_ * 2, bytes = capacity * sizeof(T);
        void* p;
        const bool mapped = bytes >= json::pages::map_from;
        if (mapped_) {
            p = json::pages::remap(data_, capacity_ * sizeof(T), bytes);
        } else if (!mapped && data_ != inline_data()) {
            p = std::realloc(data_, bytes);
            if (p == nullptr) throw std::bad_alloc();
        } else {
            // A new home: out of the inline storage, or onto mapped pages.
            p = mapped ? json::pages::map(bytes) : std::malloc(bytes);
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
    bool mapped_ = false;
};

// The document's text, written into room of its computed size. Every write
// is checked against the end, so that a miscomputed size is reported
// instead of overrunning memory the caller made.
class Placed {
public:
    Placed(char* data, std::size_t size) noexcept : p_(data), end_(data + size) {}
    void push(char c) {
        if (p_ == end_) overrun();
        *p_++ = c;
    }
    void append(const char* text, std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n) overrun();
        json::copy_bytes(p_, text, n);
        p_ += n;
    }
    void append(std::string_view text) { append(text.data(), text.size()); }
    // A cell's text. One of up to 16 bytes that starts in the input below
    // offset `safe`, so that 16 bytes of the input follow its start, is
    // moved as 16 bytes, without a branch on its length: the bytes past it
    // are written over by what follows, as the document fills its room
    // exactly.
    void append_cell(std::string_view text, const char* input, std::size_t safe) {
        if (text.size() <= 16 &&
            reinterpret_cast<std::uintptr_t>(text.data()) - reinterpret_cast<std::uintptr_t>(input) < safe &&
            static_cast<std::size_t>(end_ - p_) >= 16) [[likely]] {
            std::memcpy(p_, text.data(), 16);
            p_ += text.size();
            return;
        }
        append(text);
    }
    // A run of null cells from text, which holds at least kRun readable
    // bytes; up to kRun bytes are moved as kRun, as cells are as 16.
    static constexpr std::size_t kRun = 128;
    void append_run(const char* text, std::size_t n) {
        if (n > kRun || static_cast<std::size_t>(end_ - p_) < kRun) return append(text, n);
        for (std::size_t i = 0; i < kRun; i += 16) std::memcpy(p_ + i, text + i, 16);
        p_ += n;
    }
    void finish() const {
        if (p_ != end_) overrun();
    }

private:
    [[noreturn]] static void overrun() {
        throw std::logic_error("the written document differs from its computed size");
    }
    char* p_;
    char* const end_;
};

// Prefetches memory that is read roughly in ascending order, a fixed
// distance ahead of the latest position. A jump backwards or far ahead
// restarts it there, so each call prefetches a bounded number of lines.
class Ahead {
public:
    void reach(const void* at) noexcept {
        const std::uintptr_t target = reinterpret_cast<std::uintptr_t>(at) + kDistance;
        if (target < next_ || target - next_ > 4 * kDistance) next_ = target - kLine;
        for (; next_ < target; next_ += kLine) json::portable::prefetch(reinterpret_cast<const void*>(next_));
    }

private:
    static constexpr std::uintptr_t kDistance = 1024, kLine = 64;
    std::uintptr_t next_ = 0;
};

// Reads the rows: each key of a row is interned as a column id, each value
// kept as a Cell. Constant candidates and the cells' sizes are settled row
// by row, so the document is written in one pass at its exact size.
class RowSink {
public:
    RowSink()
        : emitter_(scratch_, store_, &memory_),
          keys_(&memory_),
          columns_(&memory_),
          rows_(&memory_),
          reference_(&memory_),
          candidate_(&memory_) {
        // Room for a few typical rows from the inline storage, so that
        // small payloads grow nothing; beyond that the vectors grow as the
        // rows come; a guess from the payload's size would reserve memory
        // that nested values never use.
        keys_.reserve(16);
        columns_.reserve(16);
        rows_.reserve(16);
    }

    // Reader events; escaped strings come in the writer's form.
    static constexpr bool written_strings = true;
    void begin_array(const Byte* at) { begin(at, false); }
    void begin_object(const Byte* at) { begin(at, true); }
    void end_array(const Byte* at) { end(at); }
    void end_object(const Byte* at) { end(at); }
    void key(const StringToken& t);
    void string(const StringToken& t);
    void number(const NumberToken& t);
    void literal(Kind kind, bool, const Byte* begin, const Byte* end);
    // A cell's nested value comes whole, with its compact text, unless it
    // repeats a key. Counted as a miss until it does: a column whose values
    // keep needing the full read is skimmed only now and then, since a
    // skim that fails late costs a second read of most of the value.
    bool skims() noexcept {
        if (state_ != State::InRow) return false;
        Column& c = columns_[cell_column_];
        if (c.skim_misses >= kMaxSkimMisses && rows_.size() % kSkimRetryRows != 0) return false;
        if (c.skim_misses < kMaxSkimMisses) ++c.skim_misses;
        return true;
    }
    static std::string_view written_number(const NumberToken& t, char* buf) { return number_text(t, buf); }
    Piece& skim_text() noexcept { return skimmed_; }
    void written_value(std::string_view text, bool object) {
        columns_[cell_column_].skim_misses = 0;
        set_cell(Cell(text, object ? Kind::Object : Kind::Array));
    }

    // After a successful read.
    bool has_row_error() const noexcept { return !row_error_.empty(); }
    std::string take_row_error() { return std::move(row_error_); }
    // Writes the document into target.room(its size); returns the size.
    // `input` is the payload that the cells' texts may lie in.
    std::size_t write_document(OutputRoom& target, std::string_view input);

private:
    enum class State : std::uint8_t { Start, Top, InRow, InCell, InElement, Done };
    struct Column {
        std::uint64_t text_bytes = 0;  // of its cells over all rows
        std::uint64_t cells = 0;       // rows that have it
        std::uint64_t row = 0;         // 1 + the last row that had it
        std::uint32_t position = 0;    // its member position in that row
        bool holds_value = false;
        std::uint8_t skim_misses = 0;  // in a row, up to kMaxSkimMisses
    };
    static constexpr std::uint8_t kMaxSkimMisses = 4;
    static constexpr std::size_t kSkimRetryRows = 32;
    struct Row {
        std::size_t cells;  // first cell in cells_
        std::size_t ids;    // first id in ids_ (shared with earlier rows)
        std::size_t size;
    };

    // Inside a cell's value, or the first element that is not an object.
    bool emitting() const noexcept { return state_ == State::InCell || !quiet_; }
    void begin(const Byte* at, bool object);
    void end(const Byte* at);
    void start_row();
    void finish_row();
    void set_cell(Cell cell);
    void element_scalar(std::string_view text);
    std::uint32_t intern(std::string_view key);
    // A cell of the given text, which is either a view of the token's input
    // [begin, end) or a scratch text, kept unless the input holds it.
    Cell keep(std::string_view text, const Byte* begin, const Byte* end, Kind kind) {
        const std::string_view input = span(begin, end);
        const bool in_input = text.data() >= input.data() && text.data() + text.size() <= input.data() + input.size();
        if (in_input) return Cell(text, kind);
        if (text == input) return Cell(input, kind);
        return Cell(std::string_view(store_.keep(text), text.size()), kind);
    }

    State state_ = State::Start;
    std::size_t nest_ = 0;  // open containers of the cell or element being read
    bool quiet_ = false;    // an element after the first that is not an object
    Kind nested_kind_ = Kind::Null;
    // Declared first: the vectors below allocate from it.
    json::Scratch memory_;
    Buffer scratch_;
    TextStore store_;
    Emitter emitter_;
    Piece skimmed_{store_};  // a nested cell's text, when it is not the input's
    std::string row_error_;

    // Column ids in order of first occurrence, and what the rows hold.
    json::ScratchVector<std::string_view> keys_;
    json::ScratchVector<Column> columns_;
    struct KeyLookup {
        json::KeyIndex keys;
        json::RecentKeys recent;  // consulted first: rows vary their key order
    };
    std::optional<KeyLookup> index_;  // made when the keys outgrow a scan

    PodArray<Cell, 64> cells_;
    PodArray<std::uint32_t, 64> ids_;
    json::ScratchVector<Row> rows_;
    Row row_{};              // the row being read
    std::size_t slot_ = 0;   // its member that the next value fills
    bool predict_ = true;    // look for each key where the row before had it
    std::size_t mispredicted_ = 0;  // keys of this row found elsewhere
    std::uint32_t cell_column_ = 0;  // the column of that member

    // Constant candidates: the first row's cells by id, while every later
    // row holds a matching one.
    json::ScratchVector<Cell> reference_;
    json::ScratchVector<char> candidate_;
    std::size_t candidates_ = 0;
};

void RowSink::begin(const Byte* at, bool object) {
    switch (state_) {
        case State::Start:
            state_ = State::Top;
            return;
        case State::Top:
            if (object) {
                start_row();
                state_ = State::InRow;
                return;
            }
            // An element that is not an object: only the first is quoted.
            state_ = State::InElement;
            quiet_ = has_row_error();
            nest_ = 1;
            if (!quiet_) {
                emitter_.start(at);
                emitter_.open(at, object);
            }
            return;
        case State::InRow:
            state_ = State::InCell;
            nested_kind_ = object ? Kind::Object : Kind::Array;
            nest_ = 1;
            emitter_.start(at);
            emitter_.open(at, object);
            return;
        case State::InCell:
        case State::InElement:
            ++nest_;
            if (emitting()) emitter_.open(at, object);
            return;
        case State::Done:
            return;
    }
}

void RowSink::end(const Byte* at) {
    switch (state_) {
        case State::Top:
            state_ = State::Done;
            return;
        case State::InRow:
            finish_row();
            state_ = State::Top;
            return;
        case State::InCell:
            emitter_.close(at);
            if (--nest_ == 0) {
                set_cell(Cell(emitter_.finish(), nested_kind_));
                state_ = State::InRow;
            }
            return;
        case State::InElement:
            if (emitting()) emitter_.close(at);
            if (--nest_ == 0) {
                if (emitting()) element_scalar(emitter_.finish());
                state_ = State::Top;
            }
            return;
        case State::Start:
        case State::Done:
            return;
    }
}

void RowSink::element_scalar(std::string_view text) {
    if (has_row_error()) return;
    row_error_.reserve(row_prefix.size() + text.size());
    row_error_.append(row_prefix);
    row_error_.append(text);
}

void RowSink::key(const StringToken& t) {
    if (state_ != State::InRow) {
        if (emitting()) emitter_.key(t);
        return;
    }
    // The key's compact text without quotes: the input's unless escapes
    // change it.
    std::string_view key = t.text;
    if (t.compact) {
        key = span(t.open + 1, t.end - 1);
    } else {
        const std::string_view escaped = escaped_text(t);
        const std::string_view input = span(t.open, t.end);
        key = escaped == input ? input : std::string_view(store_.keep(escaped), escaped.size());
        key = key.substr(1, key.size() - 2);
    }
    const std::uint32_t id = intern(key);
    cell_column_ = id;
    Column& c = columns_[id];
    if (c.row == rows_.size() + 1) {
        // A repeated key keeps its first position and takes the last value.
        slot_ = c.position;
        return;
    }
    c.row = rows_.size() + 1;
    c.position = static_cast<std::uint32_t>(row_.size);
    slot_ = row_.size++;
    ids_.push_back(id);
    cells_.push_back(Cell());
}

std::uint32_t RowSink::intern(std::string_view key) {
    // The key at the same position in the previous row, as rows usually
    // repeat their keys in order.
    if (predict_ && !rows_.empty()) {
        const Row& previous = rows_.back();
        if (row_.size < previous.size) {
            const std::uint32_t id = ids_[previous.ids + row_.size];
            if (json::same_key(keys_[id], key)) return id;
        }
        ++mispredicted_;
    }
    constexpr std::size_t max_scanned_keys = 8;
    std::size_t id = json::KeyIndex::npos;
    auto key_at = [this](std::size_t i) { return keys_[i]; };
    if (keys_.size() < max_scanned_keys) {
        for (std::size_t k = 0; k < keys_.size(); ++k) {
            if (json::same_key(keys_[k], key)) {
                id = k;
                break;
            }
        }
    } else {
        if (!index_) {
            index_.emplace();
            for (std::size_t k = 0; k < keys_.size(); ++k) index_->keys.find_or_insert(keys_[k], k, key_at);
        }
        std::uint32_t& recent = index_->recent.entry(key);
        if (recent != 0 && json::same_key(keys_[recent - 1], key)) return recent - 1;
        id = index_->keys.find_or_insert(key, keys_.size(), key_at);
        recent = static_cast<std::uint32_t>((id == json::KeyIndex::npos ? keys_.size() : id) + 1);
    }
    if (id == json::KeyIndex::npos) {
        id = keys_.size();
        keys_.push_back(key);
        columns_.emplace_back();
    }
    // 32 bits suffice: each id stands for a distinct key of at least a
    // 16-byte cell, and 2^32 of those cannot fit in memory.
    return static_cast<std::uint32_t>(id);
}

void RowSink::set_cell(Cell cell) { cells_[row_.cells + slot_] = cell; }

void RowSink::string(const StringToken& t) {
    switch (state_) {
        case State::InRow: {
            if (t.compact) set_cell(Cell(span(t.open, t.end), Kind::String));
            else set_cell(keep(escaped_text(t), t.open, t.end, Kind::String));
            return;
        }
        case State::Top:
            element_scalar(t.compact ? span(t.open, t.end) : escaped_text(t));
            return;
        case State::InCell:
        case State::InElement:
            if (emitting()) emitter_.string(t);
            return;
        default:
            return;
    }
}

void RowSink::number(const NumberToken& t) {
    char buf[json::max_number_chars];
    switch (state_) {
        case State::InRow:
            // An integer's literal is its text (see number_text).
            if (t.number.form() != json::Number::Form::Double) set_cell(Cell(span(t.begin, t.end), Kind::Number));
            else set_cell(keep(number_text(t, buf), t.begin, t.end, Kind::Number));
            return;
        case State::Top:
            element_scalar(number_text(t, buf));
            return;
        case State::InCell:
        case State::InElement:
            if (emitting()) emitter_.number(t);
            return;
        default:
            return;
    }
}

// Inlined into the reader, as the other token handlers are: out of line,
// each literal in a nested value pays a second call into the emitter.
TESSIK_ALWAYS_INLINE void RowSink::literal(Kind kind, bool, const Byte* begin, const Byte* end) {
    switch (state_) {
        case State::InRow:
            set_cell(Cell(span(begin, end), kind));
            return;
        case State::Top:
            element_scalar(span(begin, end));
            return;
        case State::InCell:
        case State::InElement:
            if (emitting()) emitter_.literal(begin, end);
            return;
        default:
            return;
    }
}

void RowSink::start_row() {
    row_ = Row{cells_.size(), ids_.size(), 0};
}

void RowSink::finish_row() {
    const std::size_t index = rows_.size();
    const Cell* cells = cells_.data() + row_.cells;
    const std::uint32_t* ids = ids_.data() + row_.ids;
    for (std::size_t i = 0; i < row_.size; ++i) {
        Column& c = columns_[ids[i]];
        c.text_bytes += cells[i].size();
        ++c.cells;
        c.holds_value |= cells[i].kind() != Kind::Null;
    }
    // Constant candidates: the first row's keys whose value is not null,
    // while every later row holds a matching value. A key that the first
    // row lacks or holds null is never constant: it is a column only if
    // some row holds another value, which cannot match.
    if (index == 0) {
        reference_.assign(cells, cells + row_.size);
        candidate_.assign(row_.size, 0);
        for (std::size_t i = 0; i < row_.size; ++i) {
            candidate_[i] = cells[i].kind() != Kind::Null;
            candidates_ += candidate_[i] != 0;
        }
    } else if (candidates_ != 0) {
        std::size_t matched = 0;
        for (std::size_t i = 0; i < row_.size; ++i) {
            const std::uint32_t id = ids[i];
            if (id >= candidate_.size() || candidate_[id] == 0) continue;
            if (cells_match(cells[i], reference_[id])) {
                ++matched;
            } else {
                candidate_[id] = 0;
                --candidates_;
            }
        }
        // A candidate missing from the row has a null cell there.
        if (matched != candidates_) {
            for (std::size_t id = 0; id < candidate_.size(); ++id) {
                if (candidate_[id] != 0 && columns_[id].row != index + 1) {
                    candidate_[id] = 0;
                    --candidates_;
                }
            }
        }
    }
    // A row with the same keys in the same order as the row before it
    // shares that row's ids.
    bool shared = false;
    if (index != 0) {
        const Row& previous = rows_.back();
        if (previous.size == row_.size && same_ids(ids, ids_.data() + previous.ids, row_.size)) {
            ids_.truncate(row_.ids);
            row_.ids = previous.ids;
            shared = true;
        }
    }
    // Rows whose keys come in an order of their own make the prediction
    // from the row before fail on nearly every key, at the cost of a
    // compare and its mispredicted branches: it is left off until a row
    // repeats the one before, or tried again every 64th row.
    if (predict_) predict_ = shared || 2 * mispredicted_ <= row_.size;
    else predict_ = shared || index % 64 == 0;
    mispredicted_ = 0;
    rows_.push_back(row_);
}

std::size_t RowSink::write_document(OutputRoom& target, std::string_view input) {
    const std::size_t rows = rows_.size();
    // Null keys, where no row holds a value other than null, are dropped;
    // constants (only with at least two rows) are stated once.
    json::ScratchVector<std::uint32_t> columns(&memory_), constants(&memory_);
    columns.reserve(keys_.size());
    for (std::size_t id = 0; id < keys_.size(); ++id) {
        if (!columns_[id].holds_value) continue;
        if (rows >= 2 && id < candidate_.size() && candidate_[id] != 0) constants.push_back(static_cast<std::uint32_t>(id));
        else columns.push_back(static_cast<std::uint32_t>(id));
    }

    // The exact size, so the text is written once, into its final place.
    constexpr std::string_view head = R"({"columns":[)", mid = R"(],"rows":[)", tail = R"(],"constants":{)";
    std::uint64_t size = head.size() + mid.size() + tail.size() + 2;
    std::uint64_t missing = 0;  // cells written as null for a missing key
    for (std::uint32_t id : columns) {
        const Column& c = columns_[id];
        size += keys_[id].size() + 3 + c.text_bytes + 4 * (rows - c.cells) + rows;
        missing += rows - c.cells;
    }
    if (!columns.empty()) size -= 1 + rows;  // one comma fewer per list
    size += 2 * rows + (rows != 0 ? rows - 1 : 0);
    for (std::uint32_t id : constants) size += keys_[id].size() + 4 + reference_[id].size();
    if (!constants.empty()) size -= 1;

    Placed out(target.room(static_cast<std::size_t>(size)), static_cast<std::size_t>(size));
    // Cells that start at these offsets of the input have 16 bytes of it.
    const std::size_t safe = input.size() < 16 ? 0 : input.size() - 15;
    out.append(head);
    for (std::size_t c = 0; c < columns.size(); ++c) {
        if (c != 0) out.push(',');
        out.push('"');
        out.append(keys_[columns[c]]);
        out.push('"');
    }
    out.append(mid);
    // Each key's column, or -1 for a key that is not a column.
    json::ScratchVector<std::int64_t> column_of(keys_.size(), -1, &memory_);
    for (std::size_t c = 0; c < columns.size(); ++c) column_of[columns[c]] = static_cast<std::int64_t>(c);
    // ",null" once per column, and as many more as a short run reads: a run
    // of missing cells is written as one copy.
    const std::size_t null_cells = missing == 0 ? 0 : columns.size() + Placed::kRun / 5 + 1;
    json::ScratchVector<char> nulls(5 * null_cells, ',', &memory_);
    for (std::size_t c = 0; c < null_cells; ++c) std::memcpy(nulls.data() + 5 * c + 1, "null", 4);
    // The current key list's cells in column order, as (column, member);
    // rebuilt only when a row's list differs from the one before, by
    // marking its columns in a bit set and reading the marks in order. Rows
    // share a key list only with the row before; an empty row's list
    // starts where the next row's does, hence the size in the comparison.
    struct Present {
        std::uint32_t column;
        std::uint32_t member;
    };
    json::ScratchVector<Present> present(columns.size(), Present{}, &memory_);
    std::size_t n = 0;  // entries in present
    json::ScratchVector<std::uint64_t> marks((columns.size() + 63) / 64, 0, &memory_);
    json::ScratchVector<std::uint32_t> member(columns.size(), 0, &memory_);
    const Row* mapped = nullptr;
    // A row's cells are read in column order, not in the order they lie in
    // memory, which defeats the hardware's prefetching of both the cells
    // and their texts (mostly in the input, in row order): both are fetched
    // a little ahead of the row being written. Not for small documents,
    // which are in the cache already, nor for rows of a few cells, read
    // nearly in order, which the hardware follows for less than fetching
    // costs per row.
    Ahead cells_ahead, texts_ahead;
    const bool fetch_ahead = cells_.size() > 4096 && cells_.size() >= 4 * rows;
    for (std::size_t r = 0; r < rows; ++r) {
        const Row& row = rows_[r];
        if (fetch_ahead) {
            cells_ahead.reach(cells_.data() + row.cells);
            if (row.size != 0) texts_ahead.reach(cells_[row.cells].text().data());
        }
        if (mapped == nullptr || row.ids != mapped->ids || row.size != mapped->size) {
            mapped = &row;
            for (std::size_t i = 0; i < row.size; ++i) {
                const std::int64_t c = column_of[ids_[row.ids + i]];
                if (c < 0) continue;
                marks[static_cast<std::size_t>(c) / 64] |= std::uint64_t{1} << (c % 64);
                member[static_cast<std::size_t>(c)] = static_cast<std::uint32_t>(i);
            }
            n = 0;
            for (std::size_t w = 0; w < marks.size(); ++w) {
                for (std::uint64_t bits = std::exchange(marks[w], 0); bits != 0; bits &= bits - 1) {
                    const std::size_t c = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
                    present[n++] = {static_cast<std::uint32_t>(c), member[c]};
                }
            }
        }
        if (r != 0) out.push(',');
        out.push('[');
        const Cell* cells = cells_.data() + row.cells;
        if (n == columns.size()) {
            // Every column present: no runs of nulls to look for.
            for (std::size_t c = 0; c < n; ++c) {
                if (c != 0) out.push(',');
                out.append_cell(cells[present[c].member].text(), input.data(), safe);
            }
            out.push(']');
            continue;
        }
        std::size_t next = 0;  // the first column not yet written
        // The missing cells from `next` up to column c, as one copy; no
        // comma before the first column.
        const auto nulls_until = [&](std::size_t c) {
            if (c == next) return;
            const std::size_t first = next == 0;
            out.append_run(nulls.data() + first, 5 * (c - next) - first);
        };
        for (std::size_t k = 0; k < n; ++k) {
            const Present& p = present[k];
            nulls_until(p.column);
            if (p.column != 0) out.push(',');
            out.append_cell(cells[p.member].text(), input.data(), safe);
            next = p.column + 1;
        }
        nulls_until(columns.size());
        out.push(']');
    }
    out.append(tail);
    for (std::size_t c = 0; c < constants.size(); ++c) {
        if (c != 0) out.push(',');
        out.push('"');
        out.append(keys_[constants[c]]);
        out.append("\":", 2);
        const std::string_view text = reference_[constants[c]].text();
        out.append(text.data(), text.size());
    }
    out.append("}}", 2);
    out.finish();
    return static_cast<std::size_t>(size);
}

}  // namespace

Result<std::size_t, std::string> columnarize_json(std::string_view payload, OutputRoom& target) {
    using Out = Result<std::size_t, std::string>;
    RowSink sink;
    json::Reader<RowSink> reader(payload, sink);
    if (!reader.read_top_level_array()) return Out::err("invalid row-oriented JSON: " + reader.error().text());
    if (sink.has_row_error()) return Out::err(sink.take_row_error());
    return Out::ok(sink.write_document(target, payload));
}

Result<json::Buffer, std::string> columnarize_json(std::string_view payload) {
    struct BufferRoom final : OutputRoom {
        json::Buffer out;
        char* room(std::size_t size) override { return out.extend(size); }
    } room;
    auto result = columnarize_json(payload, room);
    if (!result) return Result<json::Buffer, std::string>::err(std::move(result.error()));
    return Result<json::Buffer, std::string>::ok(std::move(room.out));
}

Result<json::Value, std::string> columnarize_rows(std::vector<json::Value> elements) {
    using Out = Result<json::Value, std::string>;
    // The rows take the one road of the transform, through their text.
    json::Buffer text;
    json::write_to_buffer(json::Value(std::move(elements)), text);
    auto result = columnarize_json(text.view());
    if (!result) return Out::err(std::move(result.error()));
    std::string wrapped = "[";
    wrapped.append(result.value().view());
    wrapped += ']';
    auto read = json::read_top_level_array(wrapped);
    if (!read) throw std::logic_error("the transform wrote text it cannot read back");
    return Out::ok(std::move(read.value()[0]));
}

}  // namespace tessik::transform
