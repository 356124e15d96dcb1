// Invariant checker shared by the fuzz targets and the hostile-input tests.
//
// check_payload(payload) runs columnarize_json on the payload and returns an
// empty string when every invariant holds, else a description of the first
// one broken. It judges the result against three things built apart from
// the code under test:
//   - an independent strict JSON scanner (RFC 8259, depth 127, UTF-8 and
//     surrogate rules), which decides whether the payload must be accepted,
//     must be rejected, or may go either way (a literal at the edge of the
//     double range), and where the first fault can lie;
//   - the shape of the output read back by the reader: one object with
//     "columns", "rows", "constants", one inner array per input row, each as
//     wide as "columns", no key both a column and a constant;
//   - a naive reference transform over the parsed rows, whose written form
//     must equal the output byte for byte.
// Determinism: the same payload is columnarized twice and must give the
// same bytes or the same error text.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/buffer.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"
#include "transform/entry.hpp"

namespace tessik::fuzzcheck {

inline constexpr std::string_view kReadPrefix = "invalid row-oriented JSON: ";
inline constexpr std::string_view kRowPrefix = "expected a JSON object row, got: ";

// Decodes each sequence and rejects overlong forms, surrogates and
// code points above U+10FFFF by value.
inline bool utf8_ok(std::string_view t) {
    for (std::size_t k = 0; k < t.size();) {
        const unsigned char c = static_cast<unsigned char>(t[k]);
        int extra;
        std::uint32_t cp;
        if (c < 0x80) {
            ++k;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (t.size() - k <= static_cast<std::size_t>(extra)) return false;
        for (int j = 1; j <= extra; ++j) {
            const unsigned char d = static_cast<unsigned char>(t[k + j]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        k += 1 + extra;
    }
    return true;
}

// ------------------------------------------------------------------ scanner

struct Scan {
    enum class Kind { Rows, NotArray, Syntax, Overflow };
    Kind kind = Kind::Rows;
    // For a fault: the reported position p (as a byte offset) must satisfy
    // fault_at <= p <= fault_end.
    std::size_t fault_at = 0;
    std::size_t fault_end = 0;
    // A number literal of magnitude 10^308 came before any fault: whether it
    // overflows depends on the reader's rounding, so both outcomes are fine.
    bool ambiguous = false;
    std::vector<std::pair<std::size_t, std::size_t>> elements;  // top-level spans
    std::size_t first_non_object = static_cast<std::size_t>(-1);
    int max_depth = 0;  // deepest container level reached
};

class Scanner {
public:
    explicit Scanner(std::string_view s, int depth_limit = 127) : s_(s), depth_limit_(depth_limit) {}

    Scan run() {
        ws();
        if (i_ == s_.size()) {
            fail(Scan::Kind::Syntax, i_, i_);
            return out_;
        }
        if (s_[i_] != '[') {
            fail(Scan::Kind::NotArray, i_, s_.size());
            return out_;
        }
        if (!array(1, true)) return out_;
        ws();
        if (i_ != s_.size()) fail(Scan::Kind::Syntax, i_, i_ + 1);
        return out_;
    }

private:
    bool fail(Scan::Kind kind, std::size_t at, std::size_t end) {
        out_.kind = kind;
        out_.fault_at = at;
        out_.fault_end = std::min(end, s_.size());
        return false;
    }
    bool eof() const { return i_ == s_.size(); }
    unsigned char cur() const { return static_cast<unsigned char>(s_[i_]); }
    void ws() {
        while (!eof() && (cur() == ' ' || cur() == '\t' || cur() == '\n' || cur() == '\r')) ++i_;
    }
    static bool digit(unsigned char c) { return c >= '0' && c <= '9'; }

    bool array(int depth, bool top) {
        ++i_;
        ws();
        if (!eof() && cur() == ']') {
            ++i_;
            return true;
        }
        for (;;) {
            ws();
            const std::size_t start = i_;
            const bool is_object = !eof() && cur() == '{';
            if (!value(depth)) return false;
            if (top) {
                if (!is_object && out_.first_non_object == static_cast<std::size_t>(-1))
                    out_.first_non_object = out_.elements.size();
                out_.elements.emplace_back(start, i_);
            }
            ws();
            if (eof()) return fail(Scan::Kind::Syntax, i_, i_);
            if (cur() == ']') {
                ++i_;
                return true;
            }
            if (cur() != ',') return fail(Scan::Kind::Syntax, i_, i_ + 1);
            ++i_;
            ws();
            if (!eof() && cur() == ']') return fail(Scan::Kind::Syntax, i_, i_ + 1);
        }
    }

    bool object(int depth) {
        ++i_;
        ws();
        if (!eof() && cur() == '}') {
            ++i_;
            return true;
        }
        for (;;) {
            ws();
            if (eof()) return fail(Scan::Kind::Syntax, i_, i_);
            if (cur() != '"') return fail(Scan::Kind::Syntax, i_, i_ + 1);
            if (!string()) return false;
            ws();
            if (eof()) return fail(Scan::Kind::Syntax, i_, i_);
            if (cur() != ':') return fail(Scan::Kind::Syntax, i_, i_ + 1);
            ++i_;
            if (!value(depth)) return false;
            ws();
            if (eof()) return fail(Scan::Kind::Syntax, i_, i_);
            if (cur() == '}') {
                ++i_;
                return true;
            }
            if (cur() != ',') return fail(Scan::Kind::Syntax, i_, i_ + 1);
            ++i_;
            ws();
            if (!eof() && cur() == '}') return fail(Scan::Kind::Syntax, i_, i_ + 1);
        }
    }

    bool value(int depth) {
        ws();
        if (eof()) return fail(Scan::Kind::Syntax, i_, i_);
        const unsigned char c = cur();
        if (c == '[' || c == '{') {
            if (depth + 1 > depth_limit_) return fail(Scan::Kind::Syntax, i_, i_ + 1);
            out_.max_depth = std::max(out_.max_depth, depth + 1);
            return c == '[' ? array(depth + 1, false) : object(depth + 1);
        }
        if (c == '"') return string();
        if (c == 't') return literal("true");
        if (c == 'f') return literal("false");
        if (c == 'n') return literal("null");
        if (c == '-' || digit(c)) return number();
        return fail(Scan::Kind::Syntax, i_, i_ + 1);
    }

    bool literal(std::string_view word) {
        for (std::size_t k = 0; k < word.size(); ++k) {
            if (eof()) return fail(Scan::Kind::Syntax, i_, i_);
            if (s_[i_] != word[k]) return fail(Scan::Kind::Syntax, i_, i_ + 1);
            ++i_;
        }
        return true;
    }

    bool number() {
        const std::size_t start = i_;
        if (cur() == '-') ++i_;
        if (eof()) return fail(Scan::Kind::Syntax, i_, i_);
        if (!digit(cur())) return fail(Scan::Kind::Syntax, i_, i_ + 1);
        // Decimal magnitude of the first non-zero digit, saturated.
        bool nonzero = false;
        std::int64_t magnitude = 0;
        if (cur() == '0') {
            ++i_;
            if (!eof() && digit(cur())) return fail(Scan::Kind::Syntax, i_, i_ + 1);
        } else {
            nonzero = true;
            std::int64_t int_digits = 0;
            while (!eof() && digit(cur())) {
                ++i_;
                ++int_digits;
            }
            magnitude = int_digits - 1;
        }
        if (!eof() && cur() == '.') {
            ++i_;
            if (eof()) return fail(Scan::Kind::Syntax, i_, i_);
            if (!digit(cur())) return fail(Scan::Kind::Syntax, i_, i_ + 1);
            std::int64_t leading_zeros = 0;
            while (!eof() && digit(cur())) {
                if (!nonzero) {
                    if (cur() == '0') {
                        ++leading_zeros;
                    } else {
                        nonzero = true;
                        magnitude = -(leading_zeros + 1);
                    }
                }
                ++i_;
            }
        }
        if (!eof() && (cur() == 'e' || cur() == 'E')) {
            ++i_;
            bool negative = false;
            if (!eof() && (cur() == '+' || cur() == '-')) {
                negative = cur() == '-';
                ++i_;
            }
            if (eof()) return fail(Scan::Kind::Syntax, i_, i_);
            if (!digit(cur())) return fail(Scan::Kind::Syntax, i_, i_ + 1);
            std::int64_t exponent = 0;
            while (!eof() && digit(cur())) {
                exponent = std::min<std::int64_t>(exponent * 10 + (cur() - '0'), 1'000'000'000'000'000);
                ++i_;
            }
            magnitude += negative ? -exponent : exponent;
        }
        if (nonzero && magnitude >= 309) return fail(Scan::Kind::Overflow, start, i_);
        if (nonzero && magnitude == 308) out_.ambiguous = true;
        return true;
    }

    // Content is checked as UTF-8 only at the closing quote, escapes
    // decoded, as the grammar requires of the whole string.
    bool string() {
        const std::size_t open = i_;
        ++i_;
        std::string decoded;
        for (;;) {
            if (eof()) return fail(Scan::Kind::Syntax, i_, i_);
            const unsigned char c = cur();
            if (c == '"') {
                ++i_;
                if (!utf8_ok(decoded)) return fail(Scan::Kind::Syntax, open, i_);
                return true;
            }
            if (c < 0x20) return fail(Scan::Kind::Syntax, i_, i_ + 1);
            if (c != '\\') {
                decoded.push_back(static_cast<char>(c));
                ++i_;
                continue;
            }
            const std::size_t bs = i_;
            const std::size_t limit = bs + 12;  // the longest escape: a surrogate pair
            ++i_;
            if (eof()) return fail(Scan::Kind::Syntax, bs, limit);
            const char e = s_[i_++];
            switch (e) {
                case '"': decoded += '"'; continue;
                case '\\': decoded += '\\'; continue;
                case '/': decoded += '/'; continue;
                case 'b': decoded += '\b'; continue;
                case 'f': decoded += '\f'; continue;
                case 'n': decoded += '\n'; continue;
                case 'r': decoded += '\r'; continue;
                case 't': decoded += '\t'; continue;
                case 'u': break;
                default: return fail(Scan::Kind::Syntax, bs, limit);
            }
            long unit = hex4();
            if (unit < 0) return fail(Scan::Kind::Syntax, bs, limit);
            std::uint32_t cp = static_cast<std::uint32_t>(unit);
            if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(Scan::Kind::Syntax, bs, limit);
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                if (s_.size() - i_ < 2 || s_[i_] != '\\' || s_[i_ + 1] != 'u')
                    return fail(Scan::Kind::Syntax, bs, limit);
                i_ += 2;
                const long low = hex4();
                if (low < 0xDC00 || low > 0xDFFF) return fail(Scan::Kind::Syntax, bs, limit);
                cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<std::uint32_t>(low) - 0xDC00);
            }
            encode(cp, decoded);
        }
    }

    long hex4() {
        if (s_.size() - i_ < 4) return -1;
        long v = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[i_ + k];
            int d;
            if (c >= '0' && c <= '9') d = c - '0';
            else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
            else return -1;
            v = v * 16 + d;
        }
        i_ += 4;
        return v;
    }

    static void encode(std::uint32_t cp, std::string& out) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }


    std::string_view s_;
    int depth_limit_;
    std::size_t i_ = 0;
    Scan out_;
};

inline Scan scan(std::string_view payload, int depth_limit = 127) { return Scanner(payload, depth_limit).run(); }

// ------------------------------------------------------------------ reference

// values_match as the transform defines it, written apart from its code.
inline bool reference_match(const json::Value& cell, const json::Value& ref) {
    if (cell.kind() == json::Value::Kind::Number && ref.kind() == json::Value::Kind::Number)
        return cell.as_number().to_double() == ref.as_number().to_double();
    return cell == ref;
}

// The transform step by step, without shortcuts: first-occurrence keys,
// null keys dropped, constants (two rows or more) taken out, one row array
// per input row.
inline std::string reference_output(const std::vector<json::Value>& rows) {
    using json::Value;
    static const Value null_value;
    auto cell = [&](std::size_t r, const std::string& key) -> const Value& {
        const Value* v = rows[r].as_object().get(key);
        return v != nullptr ? *v : null_value;
    };
    std::vector<std::string> keys;
    std::set<std::string> seen;
    for (const Value& row : rows)
        for (const json::Bucket& b : row.as_object())
            if (seen.insert(b.key).second) keys.push_back(b.key);

    std::vector<std::string> columns;
    for (const std::string& key : keys) {
        bool holds = false;
        for (std::size_t r = 0; r < rows.size() && !holds; ++r) holds = !cell(r, key).is_null();
        if (holds) columns.push_back(key);
    }
    json::Map constants;
    if (rows.size() >= 2) {
        std::vector<std::string> kept;
        for (const std::string& key : columns) {
            bool constant = true;
            for (std::size_t r = 0; r < rows.size() && constant; ++r)
                constant = reference_match(cell(r, key), cell(0, key));
            if (constant) constants.insert_full(key, cell(0, key));
            else kept.push_back(key);
        }
        columns = std::move(kept);
    }
    json::Array names, body;
    for (const std::string& key : columns) names.emplace_back(key);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        json::Array cells;
        for (const std::string& key : columns) cells.push_back(cell(r, key));
        body.emplace_back(std::move(cells));
    }
    json::Map doc;
    doc.insert_full("columns", Value(std::move(names)));
    doc.insert_full("rows", Value(std::move(body)));
    doc.insert_full("constants", Value(std::move(constants)));
    json::Buffer out(128);
    json::write_to_buffer(Value(std::move(doc)), out);
    return std::string(out.view());
}

// ------------------------------------------------------------------ checks

inline bool known_reader_message(std::string_view m) {
    static constexpr std::string_view kFixed[] = {
        "EOF while parsing a list",
        "EOF while parsing an object",
        "EOF while parsing a string",
        "EOF while parsing a value",
        "expected `:`",
        "expected `,` or `]`",
        "expected `,` or `}`",
        "expected ident",
        "expected value",
        "invalid escape",
        "invalid number",
        "number out of range",
        "invalid unicode code point",
        "control character (\\u0000-\\u001F) found while parsing a string",
        "key must be a string",
        "lone leading surrogate in hex escape",
        "trailing comma",
        "trailing characters",
        "unexpected end of hex escape",
        "recursion limit exceeded",
    };
    for (std::string_view f : kFixed)
        if (m == f) return true;
    return m.starts_with("invalid type: ") && m.ends_with(", expected a sequence");
}

// Parses "<message> at line L column C" and turns L, C back into a byte
// offset of the payload; false when the position cannot lie in it.
inline bool reader_position(std::string_view payload, std::string_view body, std::string_view& message,
                            std::size_t& offset) {
    const std::size_t at = body.rfind(" at line ");
    if (at == std::string_view::npos) return false;
    message = body.substr(0, at);
    std::string_view rest = body.substr(at + 9);
    const std::size_t col = rest.find(" column ");
    if (col == std::string_view::npos) return false;
    auto parse = [](std::string_view d, std::size_t& v) {
        if (d.empty() || d.size() > 18 || (d.size() > 1 && d[0] == '0')) return false;
        v = 0;
        for (char c : d) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + static_cast<std::size_t>(c - '0');
        }
        return true;
    };
    std::size_t line = 0, column = 0;
    if (!parse(rest.substr(0, col), line) || !parse(rest.substr(col + 8), column) || line == 0) return false;
    std::size_t start = 0;
    for (std::size_t l = 1; l < line; ++l) {
        const std::size_t nl = payload.find('\n', start);
        if (nl == std::string_view::npos) return false;
        start = nl + 1;
    }
    if (column > payload.size() - start) return false;
    if (payload.substr(start, column).find('\n') != std::string_view::npos) return false;
    offset = start + column;
    return true;
}

inline std::string check_reference(std::string_view payload, std::string_view out);

inline std::string check_output(std::string_view payload, const Scan& s, std::string_view out) {
    using json::Value;
    // The output read back: one object, three members in order. A cell
    // nested at the input limit sits two levels deeper in the output, past
    // what the reader takes; such output is only scanned.
    std::string wrapped;
    wrapped.reserve(out.size() + 2);
    wrapped += '[';
    wrapped += out;
    wrapped += ']';
    const Scan shape = scan(wrapped, 127 + 3);
    if (shape.kind != Scan::Kind::Rows || shape.elements.size() != 1 || shape.first_non_object == 0)
        return "output is not one JSON object";
    if (shape.max_depth > 127) return check_reference(payload, out);
    auto back = json::read_top_level_array(wrapped);
    if (!back.is_ok()) return "output is not JSON the reader accepts: " + back.error().text();
    if (back.value().size() != 1 || !back.value()[0].is_object()) return "output is not one object";
    const json::Map& doc = back.value()[0].as_object();
    if (doc.size() != 3 || doc.entry(0).key != "columns" || doc.entry(1).key != "rows" ||
        doc.entry(2).key != "constants")
        return "output members are not columns, rows, constants";
    const Value& columns = doc.entry(0).value;
    const Value& rows = doc.entry(1).value;
    const Value& constants = doc.entry(2).value;
    if (columns.kind() != Value::Kind::Array || rows.kind() != Value::Kind::Array || !constants.is_object())
        return "output members have the wrong types";
    std::set<std::string> column_names;
    for (const Value& c : columns.as_array()) {
        if (c.kind() != Value::Kind::String) return "a column name is not a string";
        if (!column_names.insert(c.as_string()).second) return "column listed twice: " + c.as_string();
    }
    if (rows.as_array().size() != s.elements.size())
        return "rows has " + std::to_string(rows.as_array().size()) + " entries for " +
               std::to_string(s.elements.size()) + " input rows";
    for (const Value& r : rows.as_array()) {
        if (r.kind() != Value::Kind::Array) return "a row is not an array";
        if (r.as_array().size() != column_names.size()) return "a row is not as wide as columns";
    }
    for (const json::Bucket& b : constants.as_object()) {
        if (column_names.count(b.key) != 0) return "key is both a column and a constant: " + b.key;
        if (b.value.is_null()) return "constant holds null: " + b.key;
    }
    if (s.elements.size() < 2 && !constants.as_object().empty()) return "constants with fewer than 2 rows";

    return check_reference(payload, out);
}

// Byte-exact agreement with the reference transform; skipped where its
// naive cost (keys x rows lookups) would dominate.
inline std::string check_reference(std::string_view payload, std::string_view out) {
    using json::Value;
    auto input = json::read_top_level_array(payload);
    if (!input.is_ok()) return "payload accepted by the transform but not by the reader";
    std::size_t cells = 0;
    for (const Value& row : input.value()) cells += row.as_object().size();
    if (cells * input.value().size() <= 4'000'000) {
        const std::string expected = reference_output(input.value());
        if (expected != out) return "output differs from the reference transform";
    }
    return {};
}

inline std::string check_payload(std::string_view payload) {
    auto first = transform::columnarize_json(payload);
    auto second = transform::columnarize_json(payload);
    if (first.is_ok() != second.is_ok()) return "two runs disagree on success";
    if (first.is_ok() ? first.value().view() != second.value().view() : first.error() != second.error())
        return "two runs give different bytes";

    const Scan s = scan(payload);
    using K = Scan::Kind;

    if (first.is_ok()) {
        if (s.kind != K::Rows) return "accepted a payload the scanner rejects";
        if (s.first_non_object != static_cast<std::size_t>(-1)) return "accepted a non-object row";
        return check_output(payload, s, first.value().view());
    }

    const std::string& err = first.error();
    if (err.starts_with(kRowPrefix)) {
        if (s.kind != K::Rows) return "row error for a payload the scanner rejects: " + err;
        if (s.first_non_object == static_cast<std::size_t>(-1)) return "row error with every row an object: " + err;
        // The tail is the compact text of the first non-object element.
        const auto [b, e] = s.elements[s.first_non_object];
        std::string one = "[";
        one += payload.substr(b, e - b);
        one += ']';
        auto element = json::read_top_level_array(one);
        if (!element.is_ok() || element.value().size() != 1) return "cannot re-read the offending row";
        std::string text;
        json::append_plain_text(element.value()[0], text);
        if (err.substr(kRowPrefix.size()) != text) return "row error names the wrong element: " + err;
        return {};
    }
    if (!err.starts_with(kReadPrefix)) return "error without a known prefix: " + err.substr(0, 200);

    std::string_view message;
    std::size_t p = 0;
    if (!reader_position(payload, std::string_view(err).substr(kReadPrefix.size()), message, p))
        return "error position outside the payload: " + err.substr(0, 200);
    if (!known_reader_message(message)) return "unknown reader message: " + err.substr(0, 200);
    const bool overflow = message == "number out of range";
    if (message.starts_with("invalid type: ") && s.kind != K::NotArray)
        return "wrong-type error for a top-level array: " + err.substr(0, 200);

    switch (s.kind) {
        case K::Rows:
            if (!(s.ambiguous && overflow)) return "rejected a valid payload: " + err.substr(0, 200);
            return {};
        case K::Overflow:
            if (!overflow && !s.ambiguous) return "missed a number out of range: " + err.substr(0, 200);
            break;
        case K::Syntax:
            if (overflow && !s.ambiguous) return "range error where a syntax error comes first: " + err.substr(0, 200);
            break;
        case K::NotArray:
            break;
    }
    if (!s.ambiguous && (p < s.fault_at || p > s.fault_end))
        return "error position " + std::to_string(p) + " outside [" + std::to_string(s.fault_at) + ", " +
               std::to_string(s.fault_end) + "]: " + err.substr(0, 200);
    return {};
}

}  // namespace tessik::fuzzcheck
