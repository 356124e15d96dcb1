// Maps fuzz bytes to row payloads, so that mutations of a few bytes move
// through rows, keys, numbers, escapes and UTF-8 instead of stopping at the
// first syntax error. Most payloads are valid; a few bytes decide rare
// faults (a bad escape, an invalid UTF-8 sequence, one level too deep, a
// stray byte) so that rejections are reached deep inside large rows too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessik::fuzzgen {

// Reads choices from the fuzz input; zeros once it runs out, so every input
// (the empty one included) maps to a payload.
class ByteSource {
public:
    ByteSource(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

    std::uint8_t byte() { return p_ != end_ ? *p_++ : 0; }
    // Uniform enough in [lo, hi] for small ranges.
    std::size_t range(std::size_t lo, std::size_t hi) {
        const std::size_t span = hi - lo + 1;
        std::size_t v = byte();
        if (span > 256) v = (v << 8) | byte();
        return lo + v % span;
    }
    // False once the input has run out, so that a short input gives a plain payload.
    bool chance(unsigned in_256) { return 255u - byte() < in_256; }
    bool exhausted() const { return p_ == end_; }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

class RowGenerator {
public:
    explicit RowGenerator(ByteSource& src) : s_(src) {}

    std::string payload() {
        // A quarter of the payloads may hold faults; the rest are valid
        // rows (a non-object row aside), so the transform itself is reached.
        faults_ = s_.chance(64);
        family_count_ = s_.range(0, 3);
        for (std::size_t f = 0; f < family_count_; ++f) families_[f] = s_.byte() % std::size(kFamilies);
        ws();
        out_ += '[';
        const std::size_t rows = s_.range(0, 24);
        for (std::size_t r = 0; r < rows && out_.size() < kMaxBytes; ++r) {
            if (r != 0) sep(',');
            if (s_.chance(4)) {
                value(2);  // not an object: the row error
            } else if (r != 0 && s_.chance(96)) {
                repeat_row();  // same keys, often same values: constants
            } else {
                row();
            }
        }
        ws();
        out_ += ']';
        ws();
        if (faults_ && s_.chance(24)) corrupt();
        return std::move(out_);
    }

private:
    static constexpr std::size_t kMaxBytes = 1 << 20;

    void ws() {
        static constexpr char kWs[] = {' ', '\t', '\n', '\r'};
        if (!s_.chance(24)) return;
        for (std::size_t n = s_.range(1, 3); n != 0; --n) out_ += kWs[s_.byte() % 4];
    }
    void sep(char c) {
        ws();
        out_ += c;
        ws();
    }

    // Spellings of one value: top-level cells match by their double, so
    // each family tends to make a constant whatever mix of forms the rows
    // use; nested ones match only in the same form.
    static constexpr std::string_view kFamilies[][4] = {
        {"1", "1.0", "1e0", "10e-1"},
        {"9007199254740992", "9007199254740993", "9007199254740992.0", "9.007199254740992e15"},
        {"0", "-0", "0.0", "-0.0"},
        {"18446744073709551615", "18446744073709551616", "1.8446744073709552e19", "18446744073709551615"},
        {"-9223372036854775808", "-9223372036854775809", "-9.223372036854776e18", "-9223372036854775808"},
        {"[1]", "[1.0]", "[1]", "[1]"},
        {"{\"x\":1,\"y\":2}", "{\"y\":2,\"x\":1}", "{\"x\":1,\"y\":2,\"x\":1}", "{\"x\":1.0,\"y\":2}"},
        {"\"kg\"", "\"k\\u0067\"", "\"kg\"", "\"kg\""},
        {"null", "null", "1", "null"},
        {"true", "true", "true", "false"},
    };

    void row() {
        const std::size_t start = out_.size();
        out_ += '{';
        const std::size_t members = s_.range(0, 8);
        std::size_t m = 0;
        for (; m < members; ++m) {
            if (m != 0) sep(',');
            key();
            sep(':');
            value(2);
        }
        // The payload's families, each under its own key, mostly present.
        for (std::size_t f = 0; f < family_count_; ++f) {
            if (s_.chance(24)) continue;
            if (m++ != 0) sep(',');
            out_ += "\"f";
            out_ += static_cast<char>('0' + f);
            out_ += '"';
            sep(':');
            out_ += kFamilies[families_[f]][s_.byte() % 4];
        }
        ws();
        out_ += '}';
        last_row_ = out_.substr(start);
    }

    // The previous row again, or with one value changed.
    void repeat_row() {
        if (last_row_.empty()) return row();
        if (s_.chance(160)) {
            out_ += last_row_;
            return;
        }
        out_ += '{';
        key();
        sep(':');
        value(2);
        if (last_row_.size() > 2) {
            out_ += ',';
            out_.append(last_row_, 1, std::string::npos);
        } else {
            out_ += '}';
        }
    }

    // Keys come mostly from a small pool so that rows share columns; some
    // pool entries are the same key spelled with and without escapes.
    void key() {
        static constexpr std::string_view kPool[] = {
            "\"id\"",           "\"a\"",          "\"b\"",         "\"\"",
            "\"\xC3\xA9\"",     "\"\\u00e9\"",    "\"\\u00E9\"",   "\"a\\u0000b\"",
            "\"\xF0\x9F\x98\x80\"", "\"\\ud83d\\ude00\"", "\"unit\"", "\"note\"",
            "\"e\\u0301\"",     "\"\\\"q\\\\\"",  "\"tag\"",       "\"\\/\"",
        };
        if (s_.chance(200)) {
            out_ += kPool[s_.byte() % std::size(kPool)];
        } else {
            string();
        }
    }

    void value(int depth) {
        switch (s_.byte() % 12) {
            case 0: out_ += "null"; break;
            case 1: out_ += s_.chance(128) ? "true" : "false"; break;
            case 2: case 3: case 4: number(); break;
            case 5: case 6: string(); break;
            case 7: array(depth); break;
            case 8: object(depth); break;
            case 9: deep(depth); break;
            case 10: same_number(); break;
            default: out_ += kSmall[s_.byte() % std::size(kSmall)]; break;
        }
    }

    static constexpr std::string_view kSmall[] = {"0", "1", "-1", "1.0", "\"kg\"", "\"a\"", "[]", "{}", "[1]",
                                                  "[1.0]", "{\"x\":1,\"y\":2}", "{\"y\":2,\"x\":1}"};

    void array(int depth) {
        if (depth >= 127) return number();
        out_ += '[';
        const std::size_t n = s_.range(0, 4);
        for (std::size_t k = 0; k < n; ++k) {
            if (k != 0) sep(',');
            value(depth + 1);
        }
        ws();
        out_ += ']';
    }

    void object(int depth) {
        if (depth >= 127) return number();
        out_ += '{';
        const std::size_t n = s_.range(0, 3);
        for (std::size_t k = 0; k < n; ++k) {
            if (k != 0) sep(',');
            key();
            sep(':');
            value(depth + 1);
        }
        ws();
        out_ += '}';
    }

    // Nesting up to the limit: the value sits at depth `depth`, so levels
    // 127 - depth + 1 more would be one too many.
    void deep(int depth) {
        const int room = 127 - depth;
        int levels = room - static_cast<int>(s_.range(0, 3)) + (faults_ && s_.chance(40) ? 1 : 0);
        if (levels < 0) levels = 0;
        for (int k = 0; k < levels; ++k) out_ += (k % 3 == 2) ? "{\"k\":" : "[";
        value(127);
        for (int k = levels - 1; k >= 0; --k) out_ += (k % 3 == 2) ? "}" : "]";
    }

    // One value in several number forms: 1, 1.0, 1e0, 10e-1, 2^53 and 2^53+1.
    void same_number() {
        static constexpr std::string_view kForms[] = {
            "1", "1.0", "1e0", "10e-1", "0.1e1", "9007199254740992", "9007199254740993", "9007199254740992.0",
            "-0", "0", "-0.0", "0.0", "18446744073709551615", "18446744073709551616", "-9223372036854775808",
            "-9223372036854775809", "1e308", "1.7976931348623157e308", "5e-324", "3e23", "1e-23"};
        out_ += kForms[s_.byte() % std::size(kForms)];
    }

    void digits(std::size_t n, bool may_start_zero) {
        for (std::size_t k = 0; k < n; ++k) {
            char d = static_cast<char>('0' + s_.byte() % 10);
            if (k == 0 && !may_start_zero && d == '0') d = '1';
            out_ += d;
        }
    }

    // Mostly short; sometimes past the 19 and 20 digits a u64 holds,
    // sometimes hundreds, past the 308 decimal orders of a double.
    std::size_t length() {
        switch (s_.byte() % 8) {
            case 0: return s_.range(17, 22);
            case 1: return s_.range(300, 330);
            case 2: return s_.range(1, 400);
            default: return s_.range(1, 4);
        }
    }

    void number() {
        if (s_.chance(40)) out_ += '-';
        std::size_t int_digits = 1;
        if (s_.chance(50)) {
            out_ += '0';
        } else {
            int_digits = length();
            digits(int_digits, false);
        }
        if (s_.chance(90)) {
            out_ += '.';
            digits(length(), true);  // fraction digits never overflow
        }
        // Without faults, a positive exponent keeps the magnitude far below
        // 10^308; a long integer part gets a negative one.
        const bool may_overflow = faults_ && s_.chance(128);
        if (int_digits > 200 && !may_overflow) {
            out_ += "e-";
            digits(s_.range(3, 12), false);
            return;
        }
        if (!s_.chance(80)) return;
        out_ += s_.chance(128) ? 'e' : 'E';
        const std::uint8_t sign = s_.byte() % 3;
        const bool negative = sign == 2;
        if (sign == 1) out_ += '+';
        if (negative) out_ += '-';
        if (!negative && !may_overflow) {
            digits(s_.range(1, 2), true);
            return;
        }
        switch (s_.byte() % 6) {
            case 0: out_ += "308"; break;
            case 1: out_ += "324"; break;
            case 2: digits(s_.range(10, 12), true); break;  // past the 32-bit exponent
            default: digits(s_.range(1, 3), true); break;
        }
    }

    void string() {
        out_ += '"';
        const std::size_t pieces = s_.range(0, 6);
        for (std::size_t k = 0; k < pieces; ++k) piece();
        out_ += '"';
    }

    void piece() {
        static constexpr std::string_view kValidUtf8[] = {
            "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBF\xBF",
            "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "\xC3\xA9", "\xE6\x9D\xB1", "\x7F", "e\xCC\x81"};
        static constexpr std::string_view kInvalidUtf8[] = {
            "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80",
            "\xF5\x80\x80\x80", "\xFF", "\xFE", "\x80", "\xC3", "\xE2\x82", "\xF0\x9F\x98"};
        static constexpr std::string_view kEscapes[] = {
            "\\\"", "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u0000", "\\u001f", "\\u00e9",
            "\\u00E9", "\\u20AC", "\\uFFFF", "\\ud83d\\ude00", "\\uDBFF\\uDFFF", "\\uD800\\uDC00"};
        static constexpr std::string_view kBadEscapes[] = {
            "\\uD800", "\\uDC00", "\\uD800\\u0041", "\\uD800\\n", "\\uD800x", "\\x", "\\u12", "\\u12G4",
            "\\U0041", "\\'", "\x01", "\x1F", "\t", "\n"};
        switch (s_.byte() % 16) {
            case 0: case 1: case 2: case 3: case 4: {
                static constexpr std::string_view kText = "abcdefghij klmnopqrstuvwxyz0123456789";
                for (std::size_t n = s_.range(1, 12); n != 0; --n) out_ += kText[s_.byte() % kText.size()];
                break;
            }
            case 5: case 6: case 7: out_ += kValidUtf8[s_.byte() % std::size(kValidUtf8)]; break;
            case 8: case 9: case 10: out_ += kEscapes[s_.byte() % std::size(kEscapes)]; break;
            case 11: {
                // Any \u escape, surrogates included.
                static constexpr char kHex[] = "0123456789abcdefABCDEF";
                out_ += "\\u";
                for (int d = 0; d < 4; ++d) out_ += kHex[s_.byte() % 22];
                break;
            }
            case 12:
                if (faults_ && s_.chance(48)) out_ += kInvalidUtf8[s_.byte() % std::size(kInvalidUtf8)];
                break;
            case 13:
                if (faults_ && s_.chance(48)) out_ += kBadEscapes[s_.byte() % std::size(kBadEscapes)];
                break;
            case 14:
                out_.append(s_.range(1, 300), 'x');  // longer than the 8-byte scan steps
                break;
            default: {
                char c = static_cast<char>(0x20 + s_.byte() % 0x5F);
                if (c == '"' || c == '\\') c = 'q';
                out_ += c;
                break;
            }
        }
    }

    // One byte inserted, replaced or removed, where the input says.
    void corrupt() {
        if (out_.empty()) return;
        static constexpr char kBytes[] = {',', ']', '}', '"', '\\', ':', '[', '{', '\0', '\xFF', '-', '.', 'e', ' '};
        const std::size_t at = s_.range(0, out_.size() - 1);
        const char c = kBytes[s_.byte() % std::size(kBytes)];
        switch (s_.byte() % 3) {
            case 0: out_.insert(out_.begin() + static_cast<std::ptrdiff_t>(at), c); break;
            case 1: out_[at] = c; break;
            default: out_.erase(at, 1); break;
        }
    }

    ByteSource& s_;
    bool faults_ = false;
    std::size_t family_count_ = 0;
    std::size_t families_[3] = {};
    std::string out_;
    std::string last_row_;
};

inline std::string generate_payload(const std::uint8_t* data, std::size_t size) {
    ByteSource src(data, size);
    return RowGenerator(src).payload();
}

}  // namespace tessik::fuzzgen
