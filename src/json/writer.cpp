#include "json/writer.hpp"

#include "json/shortest.hpp"

#include <array>
#include <cmath>
#include <cstring>

namespace tessik::json {

namespace {

// Escape letter per byte; 0 means the byte is copied as it stands.
constexpr std::array<char, 256> make_escape_table() {
    std::array<char, 256> t{};
    for (int b = 0; b < 0x20; ++b) t[b] = 'u';
    t[0x08] = 'b';
    t[0x09] = 't';
    t[0x0A] = 'n';
    t[0x0C] = 'f';
    t[0x0D] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}
constexpr std::array<char, 256> ESCAPE = make_escape_table();

constexpr char HEX_DIGITS[] = "0123456789abcdef";

constexpr std::array<char, 200> make_digit_pairs() {
    std::array<char, 200> t{};
    for (int i = 0; i < 100; ++i) {
        t[2 * i] = static_cast<char>('0' + i / 10);
        t[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return t;
}
constexpr std::array<char, 200> DIGIT_PAIRS = make_digit_pairs();

// Decimal exponent suffix: "e", the sign, and the magnitude.
std::size_t write_exponent(int m, char* out) noexcept {
    char* p = out;
    *p++ = 'e';
    *p++ = m < 0 ? '-' : '+';
    unsigned mag = m < 0 ? static_cast<unsigned>(-m) : static_cast<unsigned>(m);
    if (mag >= 100) {
        *p++ = static_cast<char>('0' + mag / 100);
        mag %= 100;
        std::memcpy(p, &DIGIT_PAIRS[2 * mag], 2);
        p += 2;
    } else if (mag >= 10) {
        std::memcpy(p, &DIGIT_PAIRS[2 * mag], 2);
        p += 2;
    } else {
        *p++ = static_cast<char>('0' + mag);
    }
    return static_cast<std::size_t>(p - out);
}

std::size_t lay_out_digits(const char* digits, int n, int m, char* out) noexcept;

void write_quoted(std::string_view text, Buffer& out) {
    out.push('"');
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    const auto* run = p;
    while (p != end) {
        const char esc = ESCAPE[*p];
        if (esc == 0) {
            ++p;
            continue;
        }
        out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
        if (esc == 'u') {
            const char seq[6] = {'\\', 'u', '0', '0', HEX_DIGITS[*p >> 4], HEX_DIGITS[*p & 0xF]};
            out.append(seq, 6);
        } else {
            const char seq[2] = {'\\', esc};
            out.append(seq, 2);
        }
        run = ++p;
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    out.push('"');
}

void write_number(const Number& n, Buffer& out) {
    char scratch[max_double_chars + 1];
    std::size_t len = 0;
    switch (n.form()) {
        case Number::Form::Unsigned:
            len = format_u64(n.as_u64(), scratch);
            break;
        case Number::Form::Negative:
            scratch[0] = '-';
            // Two's complement negation gives the magnitude of INT64_MIN too.
            len = 1 + format_u64(0 - static_cast<std::uint64_t>(n.as_i64()), scratch + 1);
            break;
        case Number::Form::Double:
            if (!std::isfinite(n.as_double())) {
                out.append("null", 4);
                return;
            }
            len = format_double(n.as_double(), scratch);
            break;
    }
    out.append_short(scratch, len);
}

void write_node(const Node& v, Buffer& out) {
    switch (v.kind()) {
        case Node::Kind::Null: out.append("null", 4); return;
        case Node::Kind::Bool:
            if (v.as_bool()) out.append("true", 4);
            else out.append("false", 5);
            return;
        case Node::Kind::Number:
            if (const std::uint64_t s = v.decimal_significand(); s != 0) {
                char scratch[max_double_chars];
                out.append_short(scratch, format_short_decimal(std::signbit(v.as_number().as_double()), s,
                                                         v.decimal_fraction_digits(), scratch));
                return;
            }
            write_number(v.as_number(), out);
            return;
        case Node::Kind::String: {
            // Unescaped input text is its own compact form.
            const std::string_view text = v.as_string();
            if (!v.is_plain()) {
                write_quoted(text, out);
                return;
            }
            out.ensure(text.size() + 2);
            out.push_unchecked('"');
            out.append_unchecked(text.data(), text.size());
            out.push_unchecked('"');
            return;
        }
        case Node::Kind::Array: {
            out.push('[');
            for (std::size_t i = 0; i < v.size(); ++i) {
                if (i != 0) out.push(',');
                write_node(v.items()[i], out);
            }
            out.push(']');
            return;
        }
        case Node::Kind::Object: {
            out.push('{');
            for (std::size_t i = 0; i < v.size(); ++i) {
                if (i != 0) out.push(',');
                const Member& m = v.members()[i];
                write_quoted(m.key_view(), out);
                out.push(':');
                write_node(m.value, out);
            }
            out.push('}');
            return;
        }
    }
}

}  // namespace

std::size_t format_u64(std::uint64_t n, char* out) noexcept {
    // Digits from the least significant end, four per division by 10000.
    char scratch[max_u64_chars];
    char* p = scratch + max_u64_chars;
    while (n >= 10000) {
        const auto rem = static_cast<unsigned>(n % 10000);
        n /= 10000;
        p -= 4;
        std::memcpy(p, &DIGIT_PAIRS[2 * (rem / 100)], 2);
        std::memcpy(p + 2, &DIGIT_PAIRS[2 * (rem % 100)], 2);
    }
    auto m = static_cast<unsigned>(n);
    if (m >= 100) {
        p -= 2;
        std::memcpy(p, &DIGIT_PAIRS[2 * (m % 100)], 2);
        m /= 100;
    }
    if (m >= 10) {
        p -= 2;
        std::memcpy(p, &DIGIT_PAIRS[2 * m], 2);
    } else {
        *--p = static_cast<char>('0' + m);
    }
    const auto len = static_cast<std::size_t>(scratch + max_u64_chars - p);
    copy_short(out, p, len);
    return len;
}

std::size_t format_double(double x, char* out) noexcept {
    char* p = out;
    if (std::signbit(x)) {
        *p++ = '-';
        x = -x;
    }
    if (x == 0.0) {
        std::memcpy(p, "0.0", 3);
        return static_cast<std::size_t>(p + 3 - out);
    }
    // Shortest round-trip digits, nearest then even, laid out in fixed or
    // exponent notation.
    char scratch[shortest_scratch_chars];
    const char* digits = nullptr;
    int m = 0;
    const int n = shortest_digits(x, scratch, digits, m);
    return static_cast<std::size_t>(p + lay_out_digits(digits, n, m, p) - out);
}

std::size_t format_short_decimal(bool negative, std::uint64_t significand, unsigned fraction_digits,
                                 char* out) noexcept {
    char* p = out;
    if (negative) *p++ = '-';
    char digits[max_u64_chars];
    int n = static_cast<int>(format_u64(significand, digits));
    const int m = n - 1 - static_cast<int>(fraction_digits);
    while (n > 1 && digits[n - 1] == '0') --n;
    return static_cast<std::size_t>(p + lay_out_digits(digits, n, m, p) - out);
}

namespace {

// The significant digits d1..dn of a value d1.d2..dn × 10^m, in the layout
// of format_double.
std::size_t lay_out_digits(const char* digits, int n, int m, char* out) noexcept {
    char* p = out;
    if (m >= -5 && m <= 15) {
        if (m >= n - 1) {
            copy_short(p, digits, static_cast<std::size_t>(n));
            p += n;
            const int zeros = m - n + 1;
            std::memset(p, '0', static_cast<std::size_t>(zeros));
            p += zeros;
            std::memcpy(p, ".0", 2);
            p += 2;
        } else if (m >= 0) {
            copy_short(p, digits, static_cast<std::size_t>(m + 1));
            p += m + 1;
            *p++ = '.';
            copy_short(p, digits + m + 1, static_cast<std::size_t>(n - m - 1));
            p += n - m - 1;
        } else {
            *p++ = '0';
            *p++ = '.';
            const int zeros = -m - 1;
            std::memset(p, '0', static_cast<std::size_t>(zeros));
            p += zeros;
            copy_short(p, digits, static_cast<std::size_t>(n));
            p += n;
        }
    } else {
        *p++ = digits[0];
        if (n > 1) {
            *p++ = '.';
            copy_short(p, digits + 1, static_cast<std::size_t>(n - 1));
            p += n - 1;
        }
        p += write_exponent(m, p);
    }
    return static_cast<std::size_t>(p - out);
}

}  // namespace

std::string format_u64(std::uint64_t n) {
    char buf[max_u64_chars];
    return std::string(buf, format_u64(n, buf));
}

std::string format_double(double x) {
    char buf[max_double_chars];
    return std::string(buf, format_double(x, buf));
}

// Owned values take the document's road: one writer for both models.
void write_to_buffer(const Value& value, Buffer& out) {
    Arena arena;
    write_node(to_node(value, arena), out);
}

void write_to_buffer(const Node& node, Buffer& out) { write_node(node, out); }

void write_string(std::string_view text, Buffer& out) { write_quoted(text, out); }

void append_plain_text(const Value& value, std::string& message) {
    Buffer text;
    write_to_buffer(value, text);
    message.append(text.data() == nullptr ? "" : text.data(), text.size());
}

}  // namespace tessik::json

namespace tessik::json {

void append_plain_text(const Node& node, std::string& message) {
    Buffer text;
    write_node(node, text);
    message.append(text.data() == nullptr ? "" : text.data(), text.size());
}

}  // namespace tessik::json
