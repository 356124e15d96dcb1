#include "json/writer.hpp"

#include "json/portable.hpp"
#include "json/shortest.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>

namespace tessik::json {

namespace {

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

// Bytes that the escape table changes: below 0x20, the quote and the
// backslash. A flag per byte of the word; borrows can only set false flags
// above a true one, so the lowest flag is exact.
inline std::uint64_t escape_flags(std::uint64_t w) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t high = 0x8080808080808080;
    return ((w - 0x20 * ones) | ((w ^ (0x22 * ones)) - ones) | ((w ^ (0x5C * ones)) - ones)) & ~w & high;
}

void write_quoted(std::string_view text, Buffer& out) {
    out.push('"');
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    const auto* run = p;
    while (p != end) {
        // Whole words without a byte to escape are passed over at once.
        if (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if constexpr (std::endian::native == std::endian::big) w = portable::byteswap64(w);
            const std::uint64_t flags = escape_flags(w);
            if (flags == 0) {
                p += 8;
                continue;
            }
            p += std::countr_zero(flags) / 8;
        } else if (detail::ESCAPE[*p] == 0) {
            ++p;
            continue;
        }
        out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
        char seq[6];
        out.append(seq, escape_sequence(*p, seq));
        run = ++p;
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    out.push('"');
}

void write_value(const Value& v, Buffer& out) {
    switch (v.kind()) {
        case Value::Kind::Null: out.append("null", 4); return;
        case Value::Kind::Bool:
            if (v.as_bool()) out.append("true", 4);
            else out.append("false", 5);
            return;
        case Value::Kind::Number: {
            char scratch[max_number_chars];
            out.append_short(scratch, format_number(v.as_number(), scratch));
            return;
        }
        case Value::Kind::String: write_quoted(v.as_string(), out); return;
        case Value::Kind::Array: {
            out.push('[');
            const Array& items = v.as_array();
            for (std::size_t i = 0; i < items.size(); ++i) {
                if (i != 0) out.push(',');
                write_value(items[i], out);
            }
            out.push(']');
            return;
        }
        case Value::Kind::Object: {
            out.push('{');
            const Map& m = v.as_object();
            for (std::size_t i = 0; i < m.size(); ++i) {
                if (i != 0) out.push(',');
                const Bucket& b = m.entry(i);
                write_quoted(b.key, out);
                out.push(':');
                write_value(b.value, out);
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

std::size_t format_number(const Number& n, char* out) noexcept {
    switch (n.form()) {
        case Number::Form::Unsigned: return format_u64(n.as_u64(), out);
        case Number::Form::Negative:
            out[0] = '-';
            // Two's complement negation gives the magnitude of INT64_MIN too.
            return 1 + format_u64(0 - static_cast<std::uint64_t>(n.as_i64()), out + 1);
        case Number::Form::Double: break;
    }
    if (!std::isfinite(n.as_double())) {
        std::memcpy(out, "null", 4);
        return 4;
    }
    return format_double(n.as_double(), out);
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

void write_to_buffer(const Value& value, Buffer& out) { write_value(value, out); }


void append_plain_text(const Value& value, std::string& message) {
    Buffer text;
    write_to_buffer(value, text);
    message.append(text.data() == nullptr ? "" : text.data(), text.size());
}

}  // namespace tessik::json
