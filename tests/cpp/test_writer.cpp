#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "json/number.hpp"
#include "json/shortest.hpp"
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

// ---------------------------------------------------------------------------
// Shortest digits against std::to_chars, whose shortest scientific form has
// the same rule: fewest digits that read back, then nearest, then even.

namespace {

struct Expected {
    std::string digits;
    int exponent;
};

Expected to_chars_digits(double x) {
    char sci[40];
    const auto r = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
    Expected e{"", 0};
    const char* p = sci;
    for (; p != r.ptr && *p != 'e'; ++p)
        if (*p != '.') e.digits += *p;
    std::from_chars(p + (p[1] == '+' ? 2 : 1), r.ptr, e.exponent);
    return e;
}

// The decimal's significand without trailing zeros, and the exponent of its
// first digit.
Expected digits_of(Decimal d) {
    std::uint64_t s = d.significand;
    int exponent = d.exponent;
    while (s % 10 == 0) {
        s /= 10;
        ++exponent;
    }
    std::string text = std::to_string(s);
    exponent += static_cast<int>(text.size()) - 1;
    return {text, exponent};
}

// Empty when shortest_digits and the exact method both agree with to_chars.
std::string mismatch(double x) {
    const Expected want = to_chars_digits(x);
    char scratch[shortest_scratch_chars];
    const char* first = nullptr;
    int exponent = 0;
    const int n = shortest_digits(x, scratch, first, exponent);
    char hex[40];
    std::snprintf(hex, sizeof hex, "%a", x);
    if (std::string(first, static_cast<std::size_t>(n)) != want.digits || exponent != want.exponent)
        return std::string(hex) + ": shortest_digits gave " + std::string(first, static_cast<std::size_t>(n)) + "e" +
               std::to_string(exponent) + ", to_chars " + want.digits + "e" + std::to_string(want.exponent);
    const Expected exact = digits_of(shortest_decimal_by_bounds(x));
    if (exact.digits != want.digits || exact.exponent != want.exponent)
        return std::string(hex) + ": exact method gave " + exact.digits + "e" + std::to_string(exact.exponent) +
               ", to_chars " + want.digits + "e" + std::to_string(want.exponent);
    return {};
}

double from_bits(std::uint64_t bits) {
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

// TESSIK_SHORTEST_SAMPLES overrides the sample count for a long run.
long sample_count(long fallback) {
    const char* s = std::getenv("TESSIK_SHORTEST_SAMPLES");
    return s != nullptr ? std::atol(s) : fallback;
}

}  // namespace

TEST(ShortestDigits, EveryPowerOfTwoAndItsNeighbours) {
    // The irregular spacing below powers of two, every one of them, and the
    // subnormal powers of two.
    int checked = 0;
    for (int e = -1074; e <= 1023; ++e) {
        const double p = std::ldexp(1.0, e);
        for (const double x : {p, std::nextafter(p, 0.0), std::nextafter(p, INFINITY)}) {
            if (!std::isfinite(x) || x == 0.0) continue;
            ASSERT_EQ(mismatch(x), "");
            ++checked;
        }
    }
    EXPECT_EQ(checked, 3 * 2098 - 1);  // no neighbour below 2^-1074
}

TEST(ShortestDigits, KnownDigits) {
    struct Row {
        double value;
        std::uint64_t significand;  // without trailing zeros
        int exponent;               // of the first digit
    };
    const Row rows[] = {
        {5e-324, 5, -324},                          // the one-digit answer of the smallest subnormal
        {1e-323, 1, -323},                          // 2 × 2^-1074 rounds to a multiple of 10
        {2.2250738585072014e-308, 22250738585072014, -308},
        {1.7976931348623157e308, 17976931348623157, 308},
        {9007199254740992.0, 9007199254740992, 15},  // 2^53
        {9007199254740994.0, 9007199254740994, 15},
        {1125899906842624.25, 11258999068426242, 15},  // a tie settled by the even digit
        {1125899906842624.75, 11258999068426248, 15},
        {0.3, 3, -1},
        {1e22, 1, 22},
        {1e23, 1, 23},  // the double below 10^23 still reads back from "1e23"
        {123456789012345680000.0, 12345678901234568, 20},
        // The two doubles whose value times 4 × 10^-k has a fraction below
        // 2^-63, which the exact method's rounding to odd cannot see.
        {0x1.3de005bd620dfp+215, 6538311315939327, 64},
        {0x1.f92bacb3cb40cp+716, 6802601037806062, 215},
    };
    for (const Row& r : rows) {
        const Expected got = digits_of(shortest_decimal(r.value));
        EXPECT_EQ(got.digits, std::to_string(r.significand)) << r.value;
        EXPECT_EQ(got.exponent, r.exponent) << r.value;
        EXPECT_EQ(mismatch(r.value), "");
    }
}

// Random inputs of every class, compared digit for digit and exponent for
// exponent; each class is a tenth of the samples.
TEST(ShortestDigits, MatchesToCharsOnEveryClass) {
    const long samples = sample_count(2'000'000);
    std::mt19937_64 rng(20240607);
    auto decimal = [](std::uint64_t significand, int exponent) {
        const std::string text = std::to_string(significand) + "e" + std::to_string(exponent);
        return std::strtod(text.c_str(), nullptr);
    };
    auto step = [&rng](double x) {  // a few ulps either way
        const int n = static_cast<int>(rng() % 7) - 3;
        for (int i = 0; i < n; ++i) x = std::nextafter(x, INFINITY);
        for (int i = 0; i > n; --i) x = std::nextafter(x, 0.0);
        return x;
    };
    long checked = 0;
    for (long i = 0; i < samples; ++i) {
        double x = 0;
        switch (i % 10) {
            case 0: x = from_bits(rng() >> 1); break;                                  // any pattern
            case 1: x = from_bits(rng() >> 12); break;                                 // subnormal
            case 2: x = from_bits((static_cast<std::uint64_t>(i / 10 % 2047) << 52) | (rng() >> 12)); break;  // every exponent in turn
            case 3: x = static_cast<double>(rng() >> (rng() % 64)); break;              // integers
            case 4:  // 2^32 to 2^96, where exact ties and ends of the interval on a multiple of 10 occur
                x = std::ldexp(static_cast<double>((rng() >> 11) | (std::uint64_t{1} << 52)),
                               static_cast<int>(rng() % 64) - 20);
                break;
            case 5: x = step(decimal(1, static_cast<int>(rng() % 634) - 325)); break;  // powers of ten
            case 6:  // 17-digit decimals, as written for random doubles
                x = decimal(10'000'000'000'000'000 + rng() % 90'000'000'000'000'000,
                            static_cast<int>(rng() % 660) - 356);
                break;
            case 7:  // short decimals
                x = decimal(rng() % 10'000'000'000'000'000 >> (rng() % 60), static_cast<int>(rng() % 660) - 340);
                break;
            case 8: x = step(decimal(rng() % 100'000'000 >> (rng() % 27), static_cast<int>(rng() % 660) - 340)); break;
            case 9: x = step(std::ldexp(1.0, static_cast<int>(rng() % 2098) - 1074)); break;  // powers of two
        }
        if (!std::isfinite(x) || x <= 0.0) continue;
        ++checked;
        ASSERT_EQ(mismatch(x), "") << "sample " << i;
    }
    EXPECT_GT(checked, samples * 9 / 10);
    std::printf("[          ] %ld doubles compared\n", checked);
}
