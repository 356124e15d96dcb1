// Reads one top-level JSON array (strict RFC 8259, nesting at most 127
// levels counting the array itself), reporting the first fault by an exact
// message and its line and byte column.
//
// The grammar is read once, here, by Reader<Sink>: it validates the text and
// tells a sink what it found, with the positions of each token, and never
// builds a document itself. One sink builds owned values
// (read_top_level_array below); the transform's sink keeps rows as spans of
// text. Sinks are template parameters, so no event costs a virtual call.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "json/error.hpp"
#include "json/key_index.hpp"
#include "json/number.hpp"
#include "json/portable.hpp"
#include "json/result.hpp"
#include "json/utf8.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"

namespace tessik::json {

// The elements as owned values.
Result<std::vector<Value>, Error> read_top_level_array(std::string_view bytes);

using Byte = unsigned char;

// A string or key as read: `open` is its opening quote and `end` the byte
// after its closing quote. `text` is its content: a view of the input
// between the quotes when the string had no escapes, otherwise a view valid
// only until the next string is read. The content is decoded, unless the
// sink asks for written strings (below).
struct StringToken {
    const Byte* open;
    const Byte* end;
    std::string_view text;
    bool escaped;
    // The input between the quotes is the compact text the writer's escape
    // table gives: no escapes, or only the ones that table writes.
    bool compact;
};

// A sink that declares `static constexpr bool written_strings = true` gets
// each escaped string's content as the writer would write it (its escape
// table applied to the decoded text) instead of decoded: one pass turns the
// input's escapes into the writer's, with no decoding and re-escaping. Its
// text then has a quote on either side in memory, so
// {text.data() - 1, text.size() + 2} is the quoted compact text.
template <class Sink>
constexpr bool wants_written_strings() {
    if constexpr (requires { Sink::written_strings; }) return Sink::written_strings;
    return false;
}

// A sink with `bool skims()`, `static std::string_view written_number(const
// NumberToken&, char* buf)` (a number's compact text: its literal, or one
// made in buf), `skim_text()` (a text being made: clear, append, reserve, added, commit)
// and `written_value(text, object)` may take a nested value whole: while
// skims() is true, a value without a key twice in one object comes as one
// written_value event with its compact text in the writer's form, instead
// of its own events.
template <class Sink>
constexpr bool skims_written_values() {
    return requires(Sink& s) { s.skims(); };
}

// A sink with `std::string_view expected_key()` (a compact key text that the
// next member's key is likely to be, with its closing quote after it in
// memory; or empty) and `expected_key_came()` gets the latter in place of
// key() when the next key is that text.
template <class Sink>
constexpr bool expects_keys() {
    return requires(Sink& s) { s.expected_key(); };
}

struct NumberToken {
    const Byte* begin;
    const Byte* end;
    Number number = Number::from_u64(0);
    ShortDecimal decimal;  // significand 0 when the literal is not one
};

namespace detail {

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighBits = 0x8080808080808080;

inline bool is_whitespace(Byte c) noexcept {
    // Bits 0x09, 0x0A, 0x0D and 0x20: exactly tab, line feed, CR and space.
    return c <= ' ' && ((std::uint64_t{0x100002600} >> c) & 1) != 0;
}

inline std::uint64_t load_le64(const Byte* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = portable::byteswap64(w);
    return w;
}

inline bool is_stop_byte(Byte c) noexcept { return c < 0x20 || c == '"' || c == '\\'; }

// The byte a short escape letter stands for.
inline char unescaped(Byte letter) noexcept {
    switch (letter) {
        case 'b': return '\b';
        case 'f': return '\f';
        case 'n': return '\n';
        case 'r': return '\r';
        case 't': return '\t';
        default: return static_cast<char>(letter);  // the quote and the backslash
    }
}

// First quote, backslash or control byte in [p, end), or end. Sets a high
// bit of `seen` when a byte passed over has its high bit set, so that an
// all-ASCII string can skip UTF-8 validation.
TESSIK_ALWAYS_INLINE const Byte* find_stop_byte(const Byte* p, const Byte* end, std::uint64_t& seen) noexcept {
#if TESSIK_SSE2
    // Sixteen bytes per step; the 8-byte steps below finish the tail.
    const __m128i below_space = _mm_set1_epi8(0x1F);
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(v, below_space), v),
                                          _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
        const unsigned stops = static_cast<unsigned>(_mm_movemask_epi8(stop));
        const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
        if (stops != 0) {
            // Only high bits before the stop byte count.
            if ((high & (stops ^ (stops - 1)) & ~stops) != 0) seen |= kHighBits;
            return p + std::countr_zero(stops);
        }
        if (high != 0) seen |= kHighBits;
        p += 16;
    }
#endif
    while (end - p >= 8) {
        const std::uint64_t w = load_le64(p);
        // Flags bytes below 0x20, 0x22 and 0x5C; borrows can only set
        // false flags above a true one, so the lowest flag is exact.
        const std::uint64_t flags = ((w - 0x20 * kOnes) | ((w ^ (0x22 * kOnes)) - kOnes) |
                                     ((w ^ (0x5C * kOnes)) - kOnes)) &
                                    ~w & kHighBits;
        if (flags != 0) {
            const unsigned bytes = static_cast<unsigned>(std::countr_zero(flags)) / 8;
            seen |= w & ((std::uint64_t{1} << (8 * bytes)) - 1);
            return p + bytes;
        }
        seen |= w;
        p += 8;
    }
    while (p != end && !is_stop_byte(*p)) seen |= *p++;
    return p;
}

// Well-formed UTF-8 as Unicode defines it: shortest forms only, no
// surrogates, nothing above U+10FFFF, no truncated sequence.
bool is_valid_utf8(const Byte* p, const Byte* end) noexcept;

struct HexTables {
    std::int16_t hex0[256];  // digit value, or -1
    std::int16_t hex1[256];  // digit value × 16, or -1
};

constexpr HexTables make_hex_tables() {
    HexTables t{};
    for (int c = 0; c < 256; ++c) {
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        t.hex0[c] = static_cast<std::int16_t>(v);
        t.hex1[c] = static_cast<std::int16_t>(v < 0 ? -1 : v * 16);
    }
    return t;
}

inline constexpr HexTables HEX = make_hex_tables();

// The description of a top-level scalar in the wrong-type message.
std::string describe_scalar(const StringToken* string, const NumberToken* number, Value::Kind kind, bool flag);

}  // namespace detail

// The events a sink receives, in document order:
//   begin_array(at) / end_array(at)     at: the bracket
//   begin_object(at) / end_object(at)   at: the brace
//   key(StringToken)                    before each member's value
//   string(StringToken), number(NumberToken)
//   literal(kind, flag, begin, end)     null, true (flag) or false
// The top-level array is reported like any other. Nothing is reported for
// a payload whose top level is not an array. Events stop at the first
// fault; the sink is then abandoned.
template <class Sink>
class Reader {
public:
    Reader(std::string_view input, Sink& sink) noexcept
        : begin_(reinterpret_cast<const Byte*>(input.data())),
          p_(begin_),
          end_(begin_ + input.size()),
          sink_(sink) {}

    // False after a fault; error() then describes it.
    bool read_top_level_array();
    Error error() const;

private:
    // Top level plus 127 nested levels; a nested bracket that brings this
    // to 0 is one level too deep.
    static constexpr std::uint8_t kInitialDepth = 128;

    bool peek_error(ErrorCode code) noexcept {
        error_code_ = code;
        error_pos_ = static_cast<std::size_t>(p_ - begin_) + (p_ != end_ ? 1 : 0);
        return false;
    }
    bool consumed_error(ErrorCode code) noexcept {
        error_code_ = code;
        error_pos_ = static_cast<std::size_t>(p_ - begin_);
        return false;
    }

    TESSIK_ALWAYS_INLINE void skip_whitespace() noexcept {
        // Compact text has none; separators such as ", " and ": " bring
        // one space; indented text has runs.
        if (p_ == end_ || *p_ > ' ') return;
        if (*p_ == ' ') {
            ++p_;
            if (p_ == end_ || *p_ > ' ') return;
        }
#if TESSIK_SSE2
        if (*p_ == '\n' && end_ - p_ > 16) {
            // Pretty-printed text indents the lines of one level alike: taken
            // as predicted, the next token's address does not wait on the scan.
            std::uint8_t& indent = indents_[remaining_depth_ % kIndentLevels];
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_ + 1));
            const unsigned spaces = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(' '))));
            const unsigned want = (1u << indent) - 1;
            if ((spaces & ((want << 1) | 1)) == want && p_[1 + indent] > ' ') {
                p_ += 1 + indent;
                return;
            }
            const unsigned other = ~spaces & 0xFFFF;
            if (other != 0 && p_[1 + std::countr_zero(other)] > ' ') {
                indent = static_cast<std::uint8_t>(std::countr_zero(other));
                p_ += 1 + indent;
                return;
            }
        }
#endif
        skip_whitespace_run();
    }
    void skip_whitespace_run() noexcept;

    bool read_value();
    bool take_written_value();
    bool skim_written(std::string_view& text);
    bool parse_literal(const char* rest, std::size_t n);
    bool read_number(NumberToken& token);
    bool parse_array();
    bool parse_object();
    // Entered on the opening quote.
    bool read_string(StringToken& token);
    // Past the plain start [content, stop) of the string, at its first stop byte.
    bool read_string_rest(StringToken& token, const Byte* content, std::uint64_t seen);
    bool parse_unicode_escape();
    bool decode_hex_escape(std::uint16_t& n);
    // An ASCII byte of escaped content: decoded, or in the writer's form.
    void put_ascii(char c) {
        char seq[6];
        const std::size_t n = written_ ? escape_sequence(static_cast<unsigned char>(c), seq) : 0;
#if defined(_LIBCPP_VERSION)
        // Most escapes are two bytes; libc++'s append(ptr, n) calls memmove
        // for a length it cannot see, libstdc++'s is faster as it stands.
        if (n == 2) {
            scratch_.append(seq, 2);
            return;
        }
#endif
        if (n != 0) scratch_.append(seq, n);
        else scratch_ += c;
    }
    bool peek_invalid_type();
    // At a key's opening quote: passes the key, and tells the sink, when it
    // is the sink's expected one. Its end is then known from the expected
    // length, so the next token's address does not wait on a scan for the
    // closing quote.
    TESSIK_ALWAYS_INLINE bool take_expected_key() {
        if constexpr (!expects_keys<Sink>()) {
            return false;
        } else {
            const std::string_view k = sink_.expected_key();
            // With its closing quote, so that a longer key does not match.
            const std::size_t n = k.size() + 1;
            if (k.empty() || static_cast<std::size_t>(end_ - p_) <= n) return false;
            if (!same_key(std::string_view(reinterpret_cast<const char*>(p_ + 1), n), std::string_view(k.data(), n))) return false;
            p_ += n + 1;
            sink_.expected_key_came();
            return true;
        }
    }

    const Byte* begin_;
    const Byte* p_;
    const Byte* end_;
    Sink& sink_;
    std::string scratch_;  // content of the last escaped string
    bool compact_ = true;  // its escapes were all in the writer's form
    // Escaped content in the writer's form rather than decoded. Error
    // messages quote a top-level string decoded, whatever the sink wants.
    bool written_ = wants_written_strings<Sink>();
    std::uint8_t remaining_depth_ = kInitialDepth;
    // Per nesting level (modulo), the spaces after the last line break
    // there: the indentation skip_whitespace_run expects next.
    static constexpr std::size_t kIndentLevels = 16;
    std::uint8_t indents_[kIndentLevels] = {};

    ErrorCode error_code_ = ErrorCode::Message;
    std::size_t error_pos_ = 0;
    std::string error_text_;
};

template <class Sink>
void Reader<Sink>::skip_whitespace_run() noexcept {
    if (!detail::is_whitespace(*p_)) return;
    ++p_;
    if (p_ == end_ || *p_ > ' ') return;
#if TESSIK_SSE2
    // Indentation: sixteen spaces per step after the line break. A line
    // break or tab among them only ends a step; the loop goes on from it.
    while (end_ - p_ >= 16 && detail::is_whitespace(*p_)) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
        const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')))) & 0xFFFF;
        if (other != 0) {
            p_ += std::countr_zero(other);
            if (*p_ > ' ' || !detail::is_whitespace(*p_)) return;
            ++p_;
            continue;
        }
        p_ += 16;
    }
#endif
    while (p_ != end_ && detail::is_whitespace(*p_)) ++p_;
}

template <class Sink>
Error Reader<Sink>::error() const {
    // Positions are derived here only, so reading never tracks lines.
    const Byte* p = begin_ + error_pos_;
    const Byte* line_start = begin_;
    for (const Byte* q = p; q != begin_; --q) {
        if (q[-1] == '\n') {
            line_start = q;
            break;
        }
    }
    const std::size_t lines = static_cast<std::size_t>(std::count(begin_, line_start, Byte{'\n'}));
    return Error{error_code_, lines + 1, static_cast<std::size_t>(p - line_start), error_text_};
}

template <class Sink>
bool Reader<Sink>::read_top_level_array() {
    skip_whitespace();
    if (p_ == end_) return peek_error(ErrorCode::EofWhileParsingValue);
    if (*p_ != '[') return peek_invalid_type();
    remaining_depth_ = kInitialDepth - 1;
    sink_.begin_array(p_);
    ++p_;
    if (!parse_array()) return false;
    remaining_depth_ = kInitialDepth;
    skip_whitespace();
    if (p_ != end_) return peek_error(ErrorCode::TrailingCharacters);
    return true;
}

template <class Sink>
bool Reader<Sink>::read_value() {
    skip_whitespace();
    if (p_ == end_) return peek_error(ErrorCode::EofWhileParsingValue);
    switch (*p_) {
        case 'n': {
            const Byte* at = p_++;
            if (!parse_literal("ull", 3)) return false;
            sink_.literal(Value::Kind::Null, false, at, p_);
            return true;
        }
        case 't': {
            const Byte* at = p_++;
            if (!parse_literal("rue", 3)) return false;
            sink_.literal(Value::Kind::Bool, true, at, p_);
            return true;
        }
        case 'f': {
            const Byte* at = p_++;
            if (!parse_literal("alse", 4)) return false;
            sink_.literal(Value::Kind::Bool, false, at, p_);
            return true;
        }
        case '-':
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9': {
            NumberToken token;
            if (!read_number(token)) return false;
            sink_.number(token);
            return true;
        }
        case '"': {
            StringToken token;
            if (!read_string(token)) return false;
            sink_.string(token);
            return true;
        }
        case '[':
            if constexpr (skims_written_values<Sink>()) {
                if (take_written_value()) return true;
            }
            if (--remaining_depth_ == 0) return peek_error(ErrorCode::RecursionLimitExceeded);
            sink_.begin_array(p_);
            ++p_;
            if (!parse_array()) return false;
            ++remaining_depth_;
            return true;
        case '{':
            if constexpr (skims_written_values<Sink>()) {
                if (take_written_value()) return true;
            }
            if (--remaining_depth_ == 0) return peek_error(ErrorCode::RecursionLimitExceeded);
            sink_.begin_object(p_);
            ++p_;
            if (!parse_object()) return false;
            ++remaining_depth_;
            return true;
        default:
            return peek_error(ErrorCode::ExpectedSomeValue);
    }
}

// At a "[" or "{": takes the value whole when the sink wants it and no
// key comes twice in one object; false leaves it to be read event by event.
template <class Sink>
inline bool Reader<Sink>::take_written_value() {
    if (!sink_.skims() || !written_) return false;
    const Byte* const begin = p_;
    std::string_view text;
    if (!skim_written(text)) {
        p_ = begin;
        return false;
    }
    sink_.written_value(text, *begin == '{');
    return true;
}

// Reads the value at p_, a "[" or "{", into its compact text in the writer's
// form: the input itself when that is already the text, else made in the
// sink's skim_text, copying the input from the first byte that changes.
// False as soon as a key comes twice in one object, or the value nests
// deeper or holds more keys than the stack here has room for, or at a
// fault: the value is then read again event by event, which reports any
// fault as usual. One loop with its own stack, no events.
template <class Sink>
TESSIK_NOINLINE bool Reader<Sink>::skim_written(std::string_view& text) {
    constexpr unsigned kMaxDepth = 32;
    constexpr unsigned kMaxKeys = 256;       // over the open objects
    constexpr unsigned kMaxComparisons = 1024;  // of keys whose fingerprints met
    struct Level {
        std::uint64_t seen[4];  // fingerprints of its keys
        unsigned first_key;     // in keys
        bool object;
    };
    struct Key {  // left unset until used
        const char* data;
        std::size_t size;
    };
    Level levels[kMaxDepth];
    Key keys[kMaxKeys];
    unsigned depth = 0;
    unsigned key_count = 0;
    unsigned comparisons = 0;
    // Nested brackets below the depth limit only: the full read reports the rest.
    const unsigned max_depth = std::min<unsigned>(kMaxDepth, remaining_depth_ - 1u);
    auto& out = sink_.skim_text();
    out.clear();
    const Byte* const begin = p_;
    const Byte* p = p_;
    const Byte* const end = end_;
    const Byte* clean = p;  // the input from here is not in out yet
    bool changed = false;

    // The helpers are inlined, so that p stays in a register.
    auto copy_clean = [&](const Byte* to) TESSIK_LAMBDA_INLINE {
        out.append(reinterpret_cast<const char*>(clean), static_cast<std::size_t>(to - clean));
        changed = true;
    };
    // Whitespace at p is dropped; other bytes below "!" are faults that the
    // token after them finds.
    auto gap = [&]() TESSIK_LAMBDA_INLINE {
        if (p == end || *p > ' ') return;
        // The runs between a pretty-printed value's whitespace are short:
        // moved as 32 bytes, without a branch on their length, where the
        // input has them; what follows writes over the rest.
        if (const auto n = static_cast<std::size_t>(p - clean); n <= 32 && end - clean >= 32) {
            std::memcpy(out.reserve(32), clean, 32);
            out.added(n);
            changed = true;
        } else {
            copy_clean(p);
        }
        p_ = p;
        skip_whitespace();
        p = p_;
        clean = p;
    };
    // The token from b to p is written as t.
    auto replace = [&](const Byte* b, std::string_view t) TESSIK_LAMBDA_INLINE {
        copy_clean(b);
        out.append(t.data(), t.size());
        clean = p;
    };
    auto string = [&](StringToken& t) TESSIK_LAMBDA_INLINE -> bool {
        p_ = p;
        if (!read_string(t)) return false;
        p = p_;
        return true;
    };
    // A member's key and its ":", leaving p at the value.
    auto key = [&](Level& level) TESSIK_LAMBDA_INLINE -> bool {
        gap();
        if (p == end || *p != '"') return false;
        StringToken t;
        // A key written otherwise would have to be compared as written.
        if (!string(t) || !t.compact) return false;
        gap();
        if (p == end || *p != ':') return false;
        ++p;
        const std::string_view k(reinterpret_cast<const char*>(t.open) + 1, static_cast<std::size_t>(t.end - t.open) - 2);
        // A fingerprint from the length and three bytes; keys that share it
        // are compared, within a budget that crafted keys cannot exceed.
        unsigned h = static_cast<unsigned>(k.size()) * 131u;
        if (!k.empty()) {
            h += static_cast<unsigned char>(k.front()) * 31u + static_cast<unsigned char>(k.back()) * 7u +
                 static_cast<unsigned char>(k[k.size() / 2]);
        }
        std::uint64_t& word = level.seen[(h >> 6) & 3];
        const std::uint64_t bit = std::uint64_t{1} << (h & 63);
        if ((word & bit) != 0) {
            // Both texts are compact, so equal keys have equal bytes.
            for (unsigned i = level.first_key; i < key_count; ++i) {
                if (same_key(std::string_view(keys[i].data, keys[i].size), k)) return false;
            }
            comparisons += key_count - level.first_key;
            if (comparisons > kMaxComparisons) return false;
        }
        word |= bit;
        if (key_count == kMaxKeys) return false;
        keys[key_count++] = Key{k.data(), k.size()};
        return true;
    };
    auto literal = [&](const char* word, std::size_t n) TESSIK_LAMBDA_INLINE -> bool {
        if (static_cast<std::size_t>(end - p) < n || std::memcmp(p, word, n) != 0) return false;
        p += n;
        return true;
    };

    for (;;) {
        // A value starts at p, after any whitespace.
        gap();
        if (p == end) return false;
        switch (*p) {
            case '[':
            case '{': {
                if (depth == max_depth) return false;
                const bool object = *p == '{';
                levels[depth++] = Level{{0, 0, 0, 0}, key_count, object};
                ++p;
                gap();
                if (p == end) return false;
                if (*p != (object ? '}' : ']')) {
                    if (object && !key(levels[depth - 1])) return false;
                    continue;
                }
                ++p;
                --depth;
                break;
            }
            case '"': {
                const Byte* const b = p;
                StringToken t;
                if (!string(t)) return false;
                if (!t.compact) replace(b, std::string_view(t.text.data() - 1, t.text.size() + 2));
                break;
            }
            case 'n':
                if (!literal("null", 4)) return false;
                break;
            case 't':
                if (!literal("true", 4)) return false;
                break;
            case 'f':
                if (!literal("false", 5)) return false;
                break;
            case '-':
            case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9': {
                NumberToken t;
                t.begin = p;
                NumberError err;
                // Nested numbers are mostly short integers, read here without a
                // call; read_number keeps it, as cells' decimals would be read twice.
                if (!read_number_literal(p, end, t.number, err, &t.decimal)) return false;
                t.end = p;
                char buf[max_number_chars];
                const std::string_view written = Sink::written_number(t, buf);
                if (written.data() != reinterpret_cast<const char*>(t.begin)) replace(t.begin, written);
                break;
            }
            default:
                return false;
        }
        // After a value: close what it ends, or take the comma before the next.
        for (;;) {
            if (depth == 0) {
                p_ = p;
                if (!changed) {
                    text = std::string_view(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(p - begin));
                } else {
                    copy_clean(p);
                    text = out.commit();
                }
                return true;
            }
            gap();
            if (p == end) return false;
            Level& level = levels[depth - 1];
            if (*p == ',') {
                ++p;
                if (level.object && !key(level)) return false;
                break;
            }
            if (*p != (level.object ? '}' : ']')) return false;
            ++p;
            key_count = level.first_key;
            --depth;
        }
    }
}

template <class Sink>
bool Reader<Sink>::parse_literal(const char* rest, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (p_ == end_) return consumed_error(ErrorCode::EofWhileParsingValue);
        if (*p_++ != static_cast<Byte>(rest[i])) return consumed_error(ErrorCode::ExpectedSomeIdent);
    }
    return true;
}

template <class Sink>
bool Reader<Sink>::read_number(NumberToken& token) {
    token.begin = p_;
    token.number = Number::from_u64(0);
    NumberError err;
    if (!parse_number(p_, end_, token.number, err, &token.decimal)) {
        return err.rule == PositionRule::Peek ? peek_error(err.code) : consumed_error(err.code);
    }
    token.end = p_;
    return true;
}

// Entered just after the "["; reads the elements and the closing "]".
template <class Sink>
bool Reader<Sink>::parse_array() {
    skip_whitespace();
    if (p_ == end_) return peek_error(ErrorCode::EofWhileParsingList);
    if (*p_ != ']') {
        if (!read_value()) return false;
        for (;;) {
            skip_whitespace();
            if (p_ == end_) return peek_error(ErrorCode::EofWhileParsingList);
            if (*p_ == ']') break;
            if (*p_ != ',') return peek_error(ErrorCode::ExpectedListCommaOrEnd);
            ++p_;
            skip_whitespace();
            if (p_ == end_) return peek_error(ErrorCode::EofWhileParsingValue);
            if (*p_ == ']') return peek_error(ErrorCode::TrailingComma);
            if (!read_value()) return false;
        }
    }
    sink_.end_array(p_);
    ++p_;
    return true;
}

// Entered just after the "{"; reads the members and the closing "}".
template <class Sink>
bool Reader<Sink>::parse_object() {
    bool first = true;
    for (;;) {
        skip_whitespace();
        if (p_ == end_) return peek_error(ErrorCode::EofWhileParsingObject);
        if (*p_ == '}') break;
        if (first) {
            first = false;
            if (*p_ != '"') return peek_error(ErrorCode::KeyMustBeAString);
        } else {
            if (*p_ != ',') return peek_error(ErrorCode::ExpectedObjectCommaOrEnd);
            ++p_;
            skip_whitespace();
            if (p_ == end_) return peek_error(ErrorCode::EofWhileParsingValue);
            if (*p_ == '}') return peek_error(ErrorCode::TrailingComma);
            if (*p_ != '"') return peek_error(ErrorCode::KeyMustBeAString);
        }
        // The key goes to the sink before its colon is read: the sink is
        // abandoned at a fault either way.
        if (!take_expected_key()) {
            StringToken key;
            if (!read_string(key)) return false;
            sink_.key(key);
        }
        skip_whitespace();
        if (p_ == end_) return peek_error(ErrorCode::EofWhileParsingObject);
        if (*p_ != ':') return peek_error(ErrorCode::ExpectedColon);
        ++p_;
        // A scalar member then costs no call; clang would call read_value
        // for each member.
        TESSIK_INLINE_CALLS if (!read_value()) return false;
    }
    sink_.end_object(p_);
    ++p_;
    return true;
}

template <class Sink>
TESSIK_ALWAYS_INLINE bool Reader<Sink>::read_string(StringToken& token) {
    token.open = p_;
    const Byte* content = p_ + 1;
    // Most strings end at the first stop byte, a quote, with ASCII only.
    std::uint64_t seen = 0;
    const Byte* stop = detail::find_stop_byte(content, end_, seen);
    if (stop != end_ && *stop == '"' && (seen & detail::kHighBits) == 0) [[likely]] {
        token.text = std::string_view(reinterpret_cast<const char*>(content), static_cast<std::size_t>(stop - content));
        token.escaped = false;
        token.compact = true;
        p_ = stop + 1;
        token.end = p_;
        return true;
    }
    p_ = stop;
    return read_string_rest(token, content, seen);
}

// Escapes, non-ASCII bytes and faults; p_ is at the first stop byte (or the
// end), and nothing before it is read again.
template <class Sink>
TESSIK_NOINLINE bool Reader<Sink>::read_string_rest(StringToken& token, const Byte* content,
                                                             std::uint64_t seen) {
    bool escaped = false;
    compact_ = true;
    const Byte* start = content;
    for (;;) {
        if (p_ == end_) return consumed_error(ErrorCode::EofWhileParsingString);
        const Byte c = *p_;
        if (c == '"') {
            const Byte* text = start;
            std::size_t size = static_cast<std::size_t>(p_ - start);
            if (escaped) {
                scratch_.append(reinterpret_cast<const char*>(start), size);
                if (written_) scratch_ += '"';
                text = reinterpret_cast<const Byte*>(scratch_.data()) + (written_ ? 1 : 0);
                size = scratch_.size() - (written_ ? 2 : 0);
            }
            ++p_;
            // Escapes always produce well-formed UTF-8 (in the writer's
            // form too, as ASCII escapes or whole code points), so only raw
            // bytes with the high bit set can make the content invalid.
            if ((seen & detail::kHighBits) != 0 && !detail::is_valid_utf8(text, text + size)) {
                return consumed_error(ErrorCode::InvalidUnicodeCodePoint);
            }
            token.text = std::string_view(reinterpret_cast<const char*>(text), size);
            token.escaped = escaped;
            token.compact = compact_;
            token.end = p_;
            return true;
        }
        if (c != '\\') {
            ++p_;
            return consumed_error(ErrorCode::ControlCharacterWhileParsingString);
        }
        if (!escaped) {
            escaped = true;
            scratch_.clear();
            if (written_) scratch_ += '"';
        }
        scratch_.append(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p_ - start));
        ++p_;
        if (p_ == end_) return consumed_error(ErrorCode::EofWhileParsingString);
        const Byte e = *p_++;
        switch (e) {
            case '/':
                // The writer has no escape for it.
                compact_ = false;
                [[fallthrough]];
            case '"':
            case '\\':
            case 'b':
            case 'f':
            case 'n':
            case 'r':
            case 't':
                put_ascii(detail::unescaped(e));
                break;
            case 'u':
                if (!parse_unicode_escape()) return false;
                break;
            default:
                return consumed_error(ErrorCode::InvalidEscape);
        }
        start = p_;
        p_ = detail::find_stop_byte(p_, end_, seen);
    }
}

template <class Sink>
bool Reader<Sink>::decode_hex_escape(std::uint16_t& n) {
    if (end_ - p_ < 4) {
        p_ = end_;
        return consumed_error(ErrorCode::EofWhileParsingString);
    }
    const int hi = detail::HEX.hex1[p_[0]] | detail::HEX.hex0[p_[1]];
    const int lo = detail::HEX.hex1[p_[2]] | detail::HEX.hex0[p_[3]];
    p_ += 4;
    // -1 ORed with anything stays negative.
    if ((hi | lo) < 0) return consumed_error(ErrorCode::InvalidEscape);
    n = static_cast<std::uint16_t>(hi << 8 | lo);
    return true;
}

// Entered just after "\u".
template <class Sink>
bool Reader<Sink>::parse_unicode_escape() {
    std::uint16_t n;
    if (!decode_hex_escape(n)) return false;
    const Byte* hex = p_ - 4;
    if (n < 0x80) {
        // The writer spells only controls without a short escape this way,
        // with lowercase digits.
        char seq[6];
        if (escape_sequence(static_cast<unsigned char>(n), seq) != 6 || (hex[3] >= 'A' && hex[3] <= 'F'))
            compact_ = false;
        put_ascii(static_cast<char>(n));
        return true;
    }
    compact_ = false;
    if (n >= 0xDC00 && n <= 0xDFFF) return consumed_error(ErrorCode::LoneLeadingSurrogateInHexEscape);
    if (n < 0xD800 || n > 0xDFFF) {
        append_utf8(scratch_, n);
        return true;
    }
    // A high surrogate: its low half must follow as another "\u" escape.
    if (p_ == end_) return consumed_error(ErrorCode::EofWhileParsingString);
    if (*p_++ != '\\') return consumed_error(ErrorCode::UnexpectedEndOfHexEscape);
    if (p_ == end_) return consumed_error(ErrorCode::EofWhileParsingString);
    if (*p_++ != 'u') return consumed_error(ErrorCode::UnexpectedEndOfHexEscape);
    std::uint16_t m;
    if (!decode_hex_escape(m)) return false;
    if (m < 0xDC00 || m > 0xDFFF) return consumed_error(ErrorCode::LoneLeadingSurrogateInHexEscape);
    append_utf8(scratch_, 0x10000 + ((char32_t{n} - 0xD800) << 10) + (char32_t{m} - 0xDC00));
    return true;
}

// The error for a top-level value that is not an array: the value is read
// first (its own errors win), then described. A "{" is not read at all.
template <class Sink>
bool Reader<Sink>::peek_invalid_type() {
    const Byte b = *p_;
    std::string description;
    if (b == '{') {
        description = "map";
    } else if (b == 'n' || b == 't' || b == 'f') {
        ++p_;
        if (b == 'n' && !parse_literal("ull", 3)) return false;
        if (b == 't' && !parse_literal("rue", 3)) return false;
        if (b == 'f' && !parse_literal("alse", 4)) return false;
        description = detail::describe_scalar(nullptr, nullptr, b == 'n' ? Value::Kind::Null : Value::Kind::Bool,
                                              b == 't');
    } else if (b == '-' || (b >= '0' && b <= '9')) {
        NumberToken token;
        if (!read_number(token)) return false;
        description = detail::describe_scalar(nullptr, &token, Value::Kind::Number, false);
    } else if (b == '"') {
        StringToken token;
        written_ = false;
        if (!read_string(token)) return false;
        description = detail::describe_scalar(&token, nullptr, Value::Kind::String, false);
    } else {
        return peek_error(ErrorCode::ExpectedSomeValue);
    }
    error_text_ = "invalid type: " + description + ", expected a sequence";
    return consumed_error(ErrorCode::Message);
}

}  // namespace tessik::json
