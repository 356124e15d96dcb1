#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "json/number.hpp"
#include "json/writer.hpp"

using namespace tessik::json;

namespace {

std::string text_of(const Value& v) {
    Buffer out;
    write_to_buffer(v, out);
    return std::string(out.view());
}

Value str(std::string s) { return Value(String(std::move(s))); }

}  // namespace

TEST(FormatDouble, WorkedExamples) {
    struct Row {
        double value;
        const char* text;
    };
    const Row rows[] = {
        {1, "1.0"},
        {3, "3.0"},
        {100, "100.0"},
        {0.1, "0.1"},
        {0.1 + 0.2, "0.30000000000000004"},
        {123.456, "123.456"},
        {-1.5, "-1.5"},
        {1e15, "1000000000000000.0"},
        {9999999999999998.0, "9999999999999998.0"},
        {1e16, "1e+16"},
        {1125899906842624.25, "1125899906842624.2"},
        {1125899906842624.75, "1125899906842624.8"},
        {12345678901234567.0, "1.2345678901234568e+16"},
        {123456789012345680000.0, "1.2345678901234568e+20"},
        {1e22, "1e+22"},
        {0.00001, "0.00001"},
        {0.000012345, "0.000012345"},
        {0.00000999, "9.99e-6"},
        {0.000001, "1e-6"},
        {1.5e-7, "1.5e-7"},
        {-2.5e-10, "-2.5e-10"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {std::numeric_limits<double>::denorm_min(), "5e-324"},
        {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {-std::numeric_limits<double>::max(), "-1.7976931348623157e+308"},
        {123456.0, "123456.0"},
        {1.5e300, "1.5e+300"},
        {-0.00001, "-0.00001"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(format_double(r.value), r.text) << "value " << r.text;
        EXPECT_EQ(text_of(Value::from_double(r.value)), r.text) << "as a Value: " << r.text;
    }
}

TEST(FormatU64, Boundaries) {
    const std::pair<std::uint64_t, const char*> rows[] = {
        {0, "0"}, {9, "9"}, {10, "10"}, {99, "99"}, {100, "100"}, {9999, "9999"}, {10000, "10000"},
        {1234567890123ULL, "1234567890123"}, {18446744073709551615ULL, "18446744073709551615"},
    };
    for (const auto& [n, text] : rows) EXPECT_EQ(format_u64(n), text) << text;
}

TEST(Writer, ValuesTable) {
    Map ordered;
    ordered.insert_full("b", Value::from_u64(1));
    ordered.insert_full("a", Value::from_u64(2));
    Map escaped_key;
    escaped_key.insert_full("k\"\n", Value());
    struct Row {
        const char* name;
        Value value;
        std::string text;
    };
    const Row rows[] = {
        {"null", Value(), "null"},
        {"true", Value(true), "true"},
        {"false", Value(false), "false"},
        {"unsigned max", Value::from_u64(UINT64_MAX), "18446744073709551615"},
        {"negative min", Value::from_i64(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
        {"negative", Value::from_i64(-7), "-7"},
        {"zero", Value::from_u64(0), "0"},
        {"double one", Value::from_double(1.0), "1.0"},
        {"empty containers", Value(Array{Value(Array{}), Value(Map{})}), "[[],{}]"},
        {"members in position order", Value(Map(ordered)), "{\"b\":1,\"a\":2}"},
        {"keys escaped like strings", Value(Map(escaped_key)), "{\"k\\\"\\n\":null}"},
        {"0x1F", str("\x1F"), "\"\\u001f\""},
        {"0x00", str(std::string("\0", 1)), "\"\\u0000\""},
        {"0x1B", str("\x1B"), "\"\\u001b\""},
        {"short escapes", str("\"\\\t\n\b\f\r"), "\"\\\"\\\\\\t\\n\\b\\f\\r\""},
        {"solidus and DEL copied", str("/\x7F"), "\"/\x7F\""},
        {"utf-8 copied", str("\xC3\xA9"), "\"\xC3\xA9\""},
        {"runs around escapes", str("ab\ncd\"ef"), "\"ab\\ncd\\\"ef\""},
        {"string x", str("x"), "\"x\""},
    };
    for (const Row& r : rows) EXPECT_EQ(text_of(r.value), r.text) << r.name;
    std::string message = "got: ";
    append_plain_text(str("x"), message);
    EXPECT_EQ(message, "got: \"x\"");
}

TEST(Writer, EveryControlByteEscapes) {
    for (int b = 0; b < 0x20; ++b) {
        const std::string t = text_of(str(std::string(1, static_cast<char>(b))));
        ASSERT_GE(t.size(), 4u);
        EXPECT_EQ(t[1], '\\') << b;
        if (t[2] == 'u') {
            char expect[16];
            std::snprintf(expect, sizeof expect, "\"\\u%04x\"", b);
            EXPECT_EQ(t, expect) << b;
        } else {
            EXPECT_EQ(t.size(), 4u) << b;
        }
    }
}

TEST(Buffer, GrowthRule) {
    Buffer b;
    b.push('x');
    EXPECT_EQ(b.capacity(), 8u);  // never below 8
    b.append(std::string(20, 'y'));
    EXPECT_EQ(b.capacity(), 21u);  // the size needed beats twice 8
    b.push('z');
    EXPECT_EQ(b.capacity(), 42u);  // twice the capacity
    EXPECT_EQ(b.size(), 22u);
}

// Random doubles from every class: the text reads back to the same bits,
// and its digits are the shortest ones the standard library finds.
TEST(FormatDouble, RandomSampleRoundTripsAndIsShortest) {
    std::mt19937_64 rng(12345);
    auto check = [](double x) {
        const std::string text = format_double(x);
        ASSERT_LE(text.size(), max_double_chars) << text;
        const double back = std::strtod(text.c_str(), nullptr);
        ASSERT_EQ(std::memcmp(&back, &x, sizeof x), 0) << text;
        ASSERT_TRUE(text.find('.') != std::string::npos || text.find('e') != std::string::npos) << text;
        char sci[40];
        auto r = std::to_chars(sci, sci + sizeof sci, std::fabs(x), std::chars_format::scientific);
        std::string ref_digits;
        for (const char* p = sci; p != r.ptr && *p != 'e'; ++p)
            if (*p != '.') ref_digits += *p;
        std::string digits;
        for (char c : text) {
            if (c == 'e') break;
            if (c >= '0' && c <= '9') digits += c;
        }
        // Strip the layout's leading and trailing zeros.
        digits.erase(0, digits.find_first_not_of('0'));
        digits.erase(digits.find_last_not_of('0') + 1);
        ASSERT_EQ(digits, ref_digits) << text;
    };
    for (int i = 0; i < 280000; ++i) {
        std::uint64_t bits = rng();
        double x;
        switch (i % 7) {
            case 0: break;                                            // any pattern
            case 1: bits &= 0x800FFFFFFFFFFFFFULL; break;             // subnormal
            case 2: bits = (bits & 0x800FFFFFFFFFFFFFULL) | (std::uint64_t(1023 + int(rng() % 60)) << 52); break;
            case 3: x = static_cast<double>(static_cast<std::int64_t>(rng() >> (rng() % 64))); std::memcpy(&bits, &x, 8); break;
            case 4: {  // halfway-looking values: integers plus a quarter or three quarters
                x = std::ldexp(static_cast<double>(rng() >> 13), -2);
                std::memcpy(&bits, &x, 8);
                break;
            }
            case 5:
            case 6: {  // short decimals (up to 17 digits, up to 18 after the point), and neighbours
                std::string literal = std::to_string(rng() % 100000000000000000ULL >> (rng() % 57));
                literal += "e-";
                literal += std::to_string(rng() % 19);
                x = std::strtod(literal.c_str(), nullptr);
                if (i % 7 == 6) x = std::nextafter(x, (rng() & 1) != 0 ? 0.0 : 1e300);
                std::memcpy(&bits, &x, 8);
                break;
            }
        }
        std::memcpy(&x, &bits, sizeof x);
        if (!std::isfinite(x) || x == 0.0) continue;  // zeros are in the table above
        check(x);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

// Literals read as short decimals keep their digits; the text written from
// them must be format_double's text of the same double.
TEST(FormatShortDecimal, MatchesFormatDoubleOnRandomLiterals) {
    std::mt19937_64 rng(7);
    int checked = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string t;
        if (rng() & 1) t += '-';
        const int int_digits = static_cast<int>(rng() % 12);
        const int fraction_digits = 1 + static_cast<int>(rng() % 24);
        const int zeros = rng() % 4 == 0 ? static_cast<int>(rng() % 22) : 0;
        if (int_digits == 0) t += '0';
        else t += static_cast<char>('1' + rng() % 9);
        for (int j = 1; j < int_digits; ++j) t += static_cast<char>('0' + rng() % 10);
        t += '.';
        for (int j = 0; j < fraction_digits; ++j) t += static_cast<char>(j < zeros ? '0' : '0' + rng() % 10);
        const auto* p = reinterpret_cast<const unsigned char*>(t.data());
        tessik::json::Number n = tessik::json::Number::from_u64(0);
        tessik::json::NumberError err;
        tessik::json::ShortDecimal d;
        ASSERT_TRUE(tessik::json::parse_number(p, p + t.size(), n, err, &d)) << t;
        if (d.significand == 0) continue;
        ++checked;
        char a[tessik::json::max_double_chars];
        char b[tessik::json::max_double_chars];
        const std::size_t la = tessik::json::format_double(n.as_double(), a);
        const std::size_t lb =
            tessik::json::format_short_decimal(std::signbit(n.as_double()), d.significand, d.fraction_digits, b);
        ASSERT_EQ(std::string(a, la), std::string(b, lb)) << t;
    }
    EXPECT_GT(checked, 10000);
}
