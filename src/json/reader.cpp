#include "json/reader.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/number.hpp"
#include "json/utf8.hpp"
#include "json/quoted.hpp"
#include "json/writer.hpp"

namespace tessik::json {

std::string_view error_message(ErrorCode code) noexcept {
    switch (code) {
        case ErrorCode::EofWhileParsingList: return "EOF while parsing a list";
        case ErrorCode::EofWhileParsingObject: return "EOF while parsing an object";
        case ErrorCode::EofWhileParsingString: return "EOF while parsing a string";
        case ErrorCode::EofWhileParsingValue: return "EOF while parsing a value";
        case ErrorCode::ExpectedColon: return "expected `:`";
        case ErrorCode::ExpectedListCommaOrEnd: return "expected `,` or `]`";
        case ErrorCode::ExpectedObjectCommaOrEnd: return "expected `,` or `}`";
        case ErrorCode::ExpectedSomeIdent: return "expected ident";
        case ErrorCode::ExpectedSomeValue: return "expected value";
        case ErrorCode::InvalidEscape: return "invalid escape";
        case ErrorCode::InvalidNumber: return "invalid number";
        case ErrorCode::NumberOutOfRange: return "number out of range";
        case ErrorCode::InvalidUnicodeCodePoint: return "invalid unicode code point";
        case ErrorCode::ControlCharacterWhileParsingString:
            return "control character (\\u0000-\\u001F) found while parsing a string";
        case ErrorCode::KeyMustBeAString: return "key must be a string";
        case ErrorCode::LoneLeadingSurrogateInHexEscape: return "lone leading surrogate in hex escape";
        case ErrorCode::TrailingComma: return "trailing comma";
        case ErrorCode::TrailingCharacters: return "trailing characters";
        case ErrorCode::UnexpectedEndOfHexEscape: return "unexpected end of hex escape";
        case ErrorCode::RecursionLimitExceeded: return "recursion limit exceeded";
        case ErrorCode::Message: break;
    }
    return {};
}

std::string Error::text() const {
    std::string out(code == ErrorCode::Message ? std::string_view(message) : error_message(code));
    if (line != 0) {
        out += " at line ";
        out += std::to_string(line);
        out += " column ";
        out += std::to_string(column);
    }
    return out;
}

namespace {

using Byte = unsigned char;

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighBits = 0x8080808080808080;

inline bool is_whitespace(Byte c) noexcept {
    // Bits 0x09, 0x0A, 0x0D and 0x20: exactly tab, line feed, CR and space.
    return c <= ' ' && ((std::uint64_t{0x100002600} >> c) & 1) != 0;
}

inline std::uint64_t load_le64(const Byte* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

inline bool is_stop_byte(Byte c) noexcept { return c < 0x20 || c == '"' || c == '\\'; }

// First quote, backslash or control byte in [p, end), or end. Sets a high
// bit of `seen` when a byte passed over has its high bit set, so that an
// all-ASCII string can skip UTF-8 validation.
inline const Byte* find_stop_byte(const Byte* p, const Byte* end, std::uint64_t& seen) noexcept {
#if defined(__SSE2__)
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

inline bool is_continuation(Byte c) noexcept { return (c & 0xC0) == 0x80; }

// Well-formed UTF-8 as Unicode defines it: shortest forms only, no
// surrogates, nothing above U+10FFFF, no truncated sequence.
bool is_valid_utf8(const Byte* p, const Byte* end) noexcept {
    while (p != end) {
        if (end - p >= 8 && (load_le64(p) & kHighBits) == 0) {
            p += 8;
            continue;
        }
        const Byte c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        const std::ptrdiff_t left = end - p;
        if (c >= 0xC2 && c <= 0xDF) {
            if (left < 2 || !is_continuation(p[1])) return false;
            p += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (left < 3) return false;
            // Second byte bounds exclude overlongs (E0) and surrogates (ED).
            const Byte lo = c == 0xE0 ? 0xA0 : 0x80;
            const Byte hi = c == 0xED ? 0x9F : 0xBF;
            if (p[1] < lo || p[1] > hi || !is_continuation(p[2])) return false;
            p += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (left < 4) return false;
            // Excludes overlongs (F0) and code points above U+10FFFF (F4).
            const Byte lo = c == 0xF0 ? 0x90 : 0x80;
            const Byte hi = c == 0xF4 ? 0x8F : 0xBF;
            if (p[1] < lo || p[1] > hi || !is_continuation(p[2]) || !is_continuation(p[3])) {
                return false;
            }
            p += 4;
        } else {
            return false;
        }
    }
    return true;
}

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

constexpr HexTables HEX = make_hex_tables();


// The state of one read. Parsing functions return false after recording
// the first error; nothing is read after it.
class Deserializer {
public:
    Deserializer(std::string_view input, Arena& arena) noexcept
        : begin_(reinterpret_cast<const Byte*>(input.data())),
          p_(begin_),
          end_(begin_ + input.size()),
          arena_(arena),
          nodes_(arena.scratch()),
          members_(arena.scratch()) {
        // Room for typical rows, so that small payloads grow no stack.
        nodes_.reserve(64);
        members_.reserve(64);
    }

    Result<std::span<const Node>, Error> read_top_level_array();

private:
    // Top level plus 127 nested levels; a nested bracket that brings this
    // to 0 is one level too deep.
    static constexpr std::uint8_t kInitialDepth = 128;
    // Objects up to this many members find repeated keys by a scan.
    static constexpr std::size_t kMaxScannedMembers = 16;

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
    Error make_error() const;

    void skip_whitespace() noexcept {
        // Compact text has none; indented text has runs of it.
        if (p_ == end_ || *p_ > ' ') return;
        skip_whitespace_run();
    }
    void skip_whitespace_run() noexcept;

    // The next value, or Node::invalid() after recording the error.
    Node read_value();
    bool parse_value(Node& out) {
        out = read_value();
        return !out.is_invalid();
    }
    static Node failed(bool /*recorded*/) noexcept { return Node::invalid(); }
    bool parse_literal(const char* rest, std::size_t n);
    Node read_number();
    bool parse_array(Node& out);
    bool parse_object(Node& out);
    bool parse_str(std::string_view& out);
    // The decoded text of parse_str, kept: a view of the input when it had
    // no escapes, otherwise a copy in the arena.
    bool parse_kept_str(std::string_view& out, bool& plain);
    // Repeated keys in objects past the scanned size.
    struct Shape {
        const Member* members = nullptr;
        std::size_t size = 0;
    };
    static std::size_t shape_slot(std::string_view first_key) noexcept;
    // Whether the keys of the open object from `base` start the cached
    // object with the same first key; if so, `shape` becomes a copy of it.
    bool follows_shape(std::size_t base, Shape& shape) const noexcept;
    void index_members(std::size_t base);
    // Position of the key among the members from `base`, or KeyIndex::npos
    // after recording it as the next one.
    std::size_t find_in_index(std::size_t base, std::string_view key);
    bool parse_unicode_escape();
    bool decode_hex_escape(std::uint16_t& n);
    bool peek_invalid_type();

    const Byte* begin_;
    const Byte* p_;
    const Byte* end_;
    Arena& arena_;
    std::string scratch_;
    // Elements and members of the open arrays and objects, innermost last;
    // a closed one is copied into the arena at its final size.
    std::pmr::vector<Node> nodes_;
    std::pmr::vector<Member> members_;
    std::vector<KeyIndex> indexes_;  // per depth, for objects too large to scan
    // The last closed object too large to scan, per first-key fingerprint:
    // an object whose keys follow one of these, key for key, has no
    // repeated key among them (the cached keys are distinct), so it needs
    // no index while it keeps to that order.
    static constexpr std::size_t kShapes = 32;
    Shape shapes_[kShapes];
    std::uint8_t remaining_depth_ = kInitialDepth;

    ErrorCode error_code_ = ErrorCode::Message;
    std::size_t error_pos_ = 0;
    std::string error_text_;
};

void Deserializer::skip_whitespace_run() noexcept {
    // Separators such as ", " and ": " bring one byte; indentation more.
    if (!is_whitespace(*p_)) return;
    ++p_;
    if (p_ == end_ || *p_ > ' ') return;
#if defined(__SSE2__)
    // Indentation: sixteen bytes per step after the line break.
    while (end_ - p_ >= 16 && is_whitespace(*p_)) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
        const __m128i ws = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')),
                                                     _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
                                        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')),
                                                     _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))));
        const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(ws)) & 0xFFFF;
        if (other != 0) {
            p_ += std::countr_zero(other);
            return;
        }
        p_ += 16;
    }
#endif
    while (p_ != end_ && is_whitespace(*p_)) ++p_;
}

Error Deserializer::make_error() const {
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

Result<std::span<const Node>, Error> Deserializer::read_top_level_array() {
    using R = Result<std::span<const Node>, Error>;
    skip_whitespace();
    if (p_ == end_) {
        peek_error(ErrorCode::EofWhileParsingValue);
        return R::err(make_error());
    }
    if (*p_ != '[') {
        peek_invalid_type();
        return R::err(make_error());
    }
    remaining_depth_ = kInitialDepth - 1;
    ++p_;
    Node items;
    if (!parse_array(items)) return R::err(make_error());
    remaining_depth_ = kInitialDepth;
    skip_whitespace();
    if (p_ != end_) {
        peek_error(ErrorCode::TrailingCharacters);
        return R::err(make_error());
    }
    return R::ok(std::span<const Node>(items.items(), items.size()));
}

// Returned in registers rather than through memory: a Node stored as two
// words and reloaded as one 16-byte move stalls the store buffer.
Node Deserializer::read_value() {
    skip_whitespace();
    if (p_ == end_) return failed(peek_error(ErrorCode::EofWhileParsingValue));
    switch (*p_) {
        case 'n':
            ++p_;
            if (!parse_literal("ull", 3)) return Node::invalid();
            return Node();
        case 't':
            ++p_;
            if (!parse_literal("rue", 3)) return Node::invalid();
            return Node::boolean(true);
        case 'f':
            ++p_;
            if (!parse_literal("alse", 4)) return Node::invalid();
            return Node::boolean(false);
        case '-':
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
            return read_number();
        case '"': {
            ++p_;
            std::string_view text;
            bool plain;
            if (!parse_kept_str(text, plain)) return Node::invalid();
            return Node::string(text.data(), text.size(), plain);
        }
        case '[': {
            if (--remaining_depth_ == 0) return failed(peek_error(ErrorCode::RecursionLimitExceeded));
            ++p_;
            Node out;
            if (!parse_array(out)) return Node::invalid();
            ++remaining_depth_;
            return out;
        }
        case '{': {
            if (--remaining_depth_ == 0) return failed(peek_error(ErrorCode::RecursionLimitExceeded));
            ++p_;
            Node out;
            if (!parse_object(out)) return Node::invalid();
            ++remaining_depth_;
            return out;
        }
        default:
            return failed(peek_error(ErrorCode::ExpectedSomeValue));
    }
}

bool Deserializer::parse_literal(const char* rest, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (p_ == end_) return consumed_error(ErrorCode::EofWhileParsingValue);
        if (*p_++ != static_cast<Byte>(rest[i])) return consumed_error(ErrorCode::ExpectedSomeIdent);
    }
    return true;
}

Node Deserializer::read_number() {
    Number number = Number::from_u64(0);
    NumberError err;
    ShortDecimal decimal;
    if (!parse_number(p_, end_, number, err, &decimal)) {
        return failed(err.rule == PositionRule::Peek ? peek_error(err.code) : consumed_error(err.code));
    }
    if (decimal.significand != 0) return Node::short_decimal(number.as_double(), decimal.significand, decimal.fraction_digits);
    return Node::number(number);
}

// Entered just after the "["; reads the elements and the closing "]".
bool Deserializer::parse_array(Node& out) {
    const std::size_t base = nodes_.size();
    Node item;
    skip_whitespace();
    if (p_ == end_) return peek_error(ErrorCode::EofWhileParsingList);
    if (*p_ != ']') {
        item = read_value();
        if (item.is_invalid()) return false;
        nodes_.push_back(item);
        for (;;) {
            skip_whitespace();
            if (p_ == end_) return peek_error(ErrorCode::EofWhileParsingList);
            if (*p_ == ']') break;
            if (*p_ != ',') return peek_error(ErrorCode::ExpectedListCommaOrEnd);
            ++p_;
            skip_whitespace();
            if (p_ == end_) return peek_error(ErrorCode::EofWhileParsingValue);
            if (*p_ == ']') return peek_error(ErrorCode::TrailingComma);
            item = read_value();
            if (item.is_invalid()) return false;
            nodes_.push_back(item);
        }
    }
    ++p_;  // the "]"
    const std::size_t n = nodes_.size() - base;
    out = Node::array(arena_.copy(nodes_.data() + base, n), n);
    nodes_.resize(base);
    return true;
}

// Entered just after the "{"; reads the members and the closing "}".
bool Deserializer::parse_object(Node& out) {
    const std::size_t base = members_.size();
    std::uint64_t seen = 0;
    // How keys past the scanned size are checked: by the index, or, while
    // each matches the cached object's key at its position, not at all.
    enum : std::uint8_t { kScanned, kIndexed, kOnShape } large = kScanned;
    Shape shape;  // a copy: nested objects may replace the cached one
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
        ++p_;
        std::string_view key;
        bool plain;
        if (!parse_kept_str(key, plain)) return false;
        skip_whitespace();
        if (p_ == end_) return peek_error(ErrorCode::EofWhileParsingObject);
        if (*p_ != ':') return peek_error(ErrorCode::ExpectedColon);
        ++p_;
        const Node value = read_value();
        if (value.is_invalid()) return false;
        const std::size_t count = members_.size() - base;
        std::size_t found = KeyIndex::npos;
        if (count < kMaxScannedMembers) {
            // A cheap fingerprint: length and the first and last bytes.
            const unsigned char head = key.empty() ? 0 : static_cast<unsigned char>(key.front());
            const unsigned char tail = key.empty() ? 0 : static_cast<unsigned char>(key.back());
            const std::uint64_t bit = std::uint64_t{1} << ((key.size() * 7 + head * 3 + tail) & 63);
            if ((seen & bit) != 0) {
                const Member* run = members_.data() + base;
                for (std::size_t i = 0; i < count; ++i) {
                    if (same_key(run[i].key_view(), key)) {
                        found = i;
                        break;
                    }
                }
            }
            seen |= bit;
        } else {
            if (large == kScanned) {
                if (follows_shape(base, shape)) {
                    large = kOnShape;
                } else {
                    large = kIndexed;
                    index_members(base);
                }
            }
            if (large == kOnShape) {
                if (count < shape.size && same_key(shape.members[count].key_view(), key)) {
                    // Still in the cached order: a new key.
                } else {
                    large = kIndexed;
                    index_members(base);
                    found = find_in_index(base, key);
                }
            } else {
                found = find_in_index(base, key);
            }
        }
        // A repeated key keeps its first position and takes the last value.
        if (found == KeyIndex::npos) Member::append(members_, key, plain, value, arena_);
        else members_[base + found].set_value(value);
    }
    ++p_;  // the "}"
    const std::size_t n = members_.size() - base;
    const Member* members = arena_.copy(members_.data() + base, n);
    out = Node::object(members, n);
    members_.resize(base);
    if (n >= kMaxScannedMembers) shapes_[shape_slot(members[0].key_view())] = Shape{members, n};
    return true;
}

std::size_t Deserializer::shape_slot(std::string_view first_key) noexcept {
    const unsigned char head = first_key.empty() ? 0 : static_cast<unsigned char>(first_key.front());
    return (first_key.size() * 7 + head) % kShapes;
}

bool Deserializer::follows_shape(std::size_t base, Shape& shape) const noexcept {
    const Member* run = members_.data() + base;
    const std::size_t count = members_.size() - base;
    const Shape& cached = shapes_[shape_slot(run[0].key_view())];
    if (cached.size < count) return false;
    for (std::size_t i = 0; i < count; ++i)
        if (!same_key(cached.members[i].key_view(), run[i].key_view())) return false;
    shape = cached;
    return true;
}

// The index for objects too large to scan, one per depth, filled with the
// keys read so far.
void Deserializer::index_members(std::size_t base) {
    const std::size_t depth = kInitialDepth - remaining_depth_;
    if (indexes_.size() <= depth) indexes_.resize(depth + 1);
    KeyIndex& index = indexes_[depth];
    index.clear();
    const std::size_t count = members_.size() - base;
    auto key_at = [this, base](std::size_t i) { return members_[base + i].key_view(); };
    for (std::size_t i = 0; i < count; ++i) index.find_or_insert(members_[base + i].key_view(), i, key_at);
}

std::size_t Deserializer::find_in_index(std::size_t base, std::string_view key) {
    KeyIndex& index = indexes_[kInitialDepth - remaining_depth_];
    auto key_at = [this, base](std::size_t i) { return members_[base + i].key_view(); };
    return index.find_or_insert(key, members_.size() - base, key_at);
}

bool Deserializer::parse_kept_str(std::string_view& out, bool& plain) {
    // Most strings end at the first stop byte, a quote: they are taken here
    // without parse_str's call and set-up. Anything else is read again by
    // parse_str, which then reports the same outcome from the same start.
    std::uint64_t seen = 0;
    const Byte* end = find_stop_byte(p_, end_, seen);
    if (end != end_ && *end == '"' && ((seen & kHighBits) == 0 || is_valid_utf8(p_, end))) {
        out = std::string_view(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(end - p_));
        p_ = end + 1;
        plain = true;
        return true;
    }
    if (!parse_str(out)) return false;
    // Decoded escapes end in the scratch buffer; anything else is input.
    plain = out.data() != scratch_.data();
    if (!plain) out = std::string_view(arena_.copy(out.data(), out.size()), out.size());
    return true;
}

// Entered just after the opening quote. On success `out` views the decoded
// content, either in the input (no escapes) or in the scratch buffer.
bool Deserializer::parse_str(std::string_view& out) {
    scratch_.clear();
    std::uint64_t seen = 0;
    const Byte* start = p_;
    for (;;) {
        p_ = find_stop_byte(p_, end_, seen);
        if (p_ == end_) return consumed_error(ErrorCode::EofWhileParsingString);
        const Byte c = *p_;
        if (c == '"') {
            const Byte* content = start;
            std::size_t size = static_cast<std::size_t>(p_ - start);
            if (!scratch_.empty()) {
                scratch_.append(reinterpret_cast<const char*>(start), size);
                content = reinterpret_cast<const Byte*>(scratch_.data());
                size = scratch_.size();
            }
            ++p_;
            // Escapes always produce well-formed UTF-8, so only raw bytes
            // with the high bit set can make the content invalid.
            if ((seen & kHighBits) != 0 && !is_valid_utf8(content, content + size)) {
                return consumed_error(ErrorCode::InvalidUnicodeCodePoint);
            }
            out = std::string_view(reinterpret_cast<const char*>(content), size);
            return true;
        }
        if (c != '\\') {
            ++p_;
            return consumed_error(ErrorCode::ControlCharacterWhileParsingString);
        }
        scratch_.append(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p_ - start));
        ++p_;
        if (p_ == end_) return consumed_error(ErrorCode::EofWhileParsingString);
        switch (*p_++) {
            case '"': scratch_ += '"'; break;
            case '\\': scratch_ += '\\'; break;
            case '/': scratch_ += '/'; break;
            case 'b': scratch_ += '\b'; break;
            case 'f': scratch_ += '\f'; break;
            case 'n': scratch_ += '\n'; break;
            case 'r': scratch_ += '\r'; break;
            case 't': scratch_ += '\t'; break;
            case 'u':
                if (!parse_unicode_escape()) return false;
                break;
            default:
                return consumed_error(ErrorCode::InvalidEscape);
        }
        start = p_;
    }
}

bool Deserializer::decode_hex_escape(std::uint16_t& n) {
    if (end_ - p_ < 4) {
        p_ = end_;
        return consumed_error(ErrorCode::EofWhileParsingString);
    }
    const int hi = HEX.hex1[p_[0]] | HEX.hex0[p_[1]];
    const int lo = HEX.hex1[p_[2]] | HEX.hex0[p_[3]];
    p_ += 4;
    // -1 ORed with anything stays negative.
    if ((hi | lo) < 0) return consumed_error(ErrorCode::InvalidEscape);
    n = static_cast<std::uint16_t>(hi << 8 | lo);
    return true;
}

// Entered just after "\u".
bool Deserializer::parse_unicode_escape() {
    std::uint16_t n;
    if (!decode_hex_escape(n)) return false;
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
bool Deserializer::peek_invalid_type() {
    const Byte b = *p_;
    std::string description;
    if (b == '{') {
        description = "map";
    } else if (b == 'n' || b == 't' || b == 'f' || b == '-' || b == '"' || (b >= '0' && b <= '9')) {
        Node value;
        if (!parse_value(value)) return false;
        switch (value.kind()) {
            case Value::Kind::Null: description = "null"; break;
            case Value::Kind::Bool: description = value.as_bool() ? "boolean `true`" : "boolean `false`"; break;
            case Value::Kind::String:
                description = "string ";
                append_quoted(description, value.as_string());
                break;
            case Value::Kind::Number: {
                const Number n = value.as_number();
                switch (n.form()) {
                    case Number::Form::Unsigned:
                        description = "integer `" + format_u64(n.as_u64()) + "`";
                        break;
                    case Number::Form::Negative:
                        description = "integer `-" + format_u64(0 - static_cast<std::uint64_t>(n.as_i64())) + "`";
                        break;
                    case Number::Form::Double:
                        description = "floating point `" + format_double(n.as_double()) + "`";
                        break;
                }
                break;
            }
            case Value::Kind::Array:
            case Value::Kind::Object:
                break;  // not reached: brackets are handled above
        }
    } else {
        return peek_error(ErrorCode::ExpectedSomeValue);
    }
    error_text_ = "invalid type: " + description + ", expected a sequence";
    return consumed_error(ErrorCode::Message);
}

}  // namespace

Result<std::span<const Node>, Error> read_top_level_array(std::string_view bytes, Arena& arena) {
    Deserializer reader(bytes, arena);
    return reader.read_top_level_array();
}

Result<std::vector<Value>, Error> read_top_level_array(std::string_view bytes) {
    using R = Result<std::vector<Value>, Error>;
    Arena arena(bytes.size());
    auto read = read_top_level_array(bytes, arena);
    if (!read) return R::err(std::move(read.error()));
    std::vector<Value> elements;
    elements.reserve(read.value().size());
    for (const Node& e : read.value()) elements.push_back(to_value(e));
    return R::ok(std::move(elements));
}

}  // namespace tessik::json
