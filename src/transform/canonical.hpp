// The canonical compact text of a value, which is what a cell holds: the
// input's own text where it already is that, else a copy made from the
// first byte that differs; and the equality of values given as such texts.
// Internal to src/transform/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "json/buffer.hpp"
#include "json/key_index.hpp"
#include "json/portable.hpp"
#include "json/reader.hpp"
#include "json/scratch.hpp"
#include "json/writer.hpp"
#include "transform/cells.hpp"

namespace tessik::transform::detail {

using json::Buffer;
using json::NumberToken;
using json::StringToken;

// The compact text of a string whose input had escapes other than the
// writer's: the reader gives its content in the writer's form, quoted in
// memory. Valid until the next string is read.
inline std::string_view escaped_text(const StringToken& t) {
    return std::string_view(t.text.data() - 1, t.text.size() + 2);
}

// The compact text of a number: the literal itself when it is already
// written that way, else the writer's form in `buf` (max_number_chars).
std::string_view number_text(const NumberToken& t, char* buf);

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
    // Inlined into RowSink::end(), which closes every container of a cell
    // read token by token.
    TESSIK_ALWAYS_INLINE void close(const Byte* at) {
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

inline void Emitter::key(const StringToken& t) {
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

// Whether a number's compact text is a double's: the shortest digits of a
// double hold a point or an exponent, an integer's digits never do.
inline bool is_double_text(std::string_view text) noexcept {
    for (const char c : text)
        if (c == '.' || c == 'e') return true;
    return false;
}

// The double zeros: the only doubles whose different texts, each the
// shortest digits of its value, are equal values.
inline bool is_double_zero(std::string_view text) noexcept { return text == "0.0" || text == "-0.0"; }

// The value of a top-level number cell as a double, from its compact text.
double number_value(std::string_view text) noexcept;

// Equality of two values given as compact texts, as values compare: texts
// differ for equal values only through member order and the sign of a
// double zero. Same text, same value, since the compact text of a value is
// unique.
bool texts_equal(std::string_view a, std::string_view b);

}  // namespace tessik::transform::detail
