// Number literals read through the reader: which form each literal takes,
// the exact double bits of the fixed power-of-ten composition, and every
// number error with its position.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "json/number.hpp"
#include "json/reader.hpp"

using namespace tessik::json;

namespace {

enum class Expect { Unsigned, Negative, Double, Error };

struct Case {
    std::string_view payload;
    Expect expect;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double d = 0;
    std::string_view error = {};
};

Case unsigned_case(std::string_view p, std::uint64_t u) { return {p, Expect::Unsigned, u, 0, 0, {}}; }
Case negative_case(std::string_view p, std::int64_t i) { return {p, Expect::Negative, 0, i, 0, {}}; }
Case double_case(std::string_view p, double d) { return {p, Expect::Double, 0, 0, d, {}}; }
Case error_case(std::string_view p, std::string_view e) { return {p, Expect::Error, 0, 0, 0, e}; }

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

void check(const Case& c) {
    const std::string row(c.payload);
    auto result = read_top_level_array(c.payload);
    if (c.expect == Expect::Error) {
        ASSERT_FALSE(result.is_ok()) << "row " << row << " read without error";
        EXPECT_EQ(result.error().text(), c.error) << "row " << row;
        return;
    }
    ASSERT_TRUE(result.is_ok()) << "row " << row << ": " << result.error().text();
    ASSERT_EQ(result.value().size(), 1u) << "row " << row;
    const Value& v = result.value()[0];
    ASSERT_EQ(v.kind(), Value::Kind::Number) << "row " << row;
    const Number& n = v.as_number();
    switch (c.expect) {
        case Expect::Unsigned:
            ASSERT_EQ(n.form(), Number::Form::Unsigned) << "row " << row;
            EXPECT_EQ(n.as_u64(), c.u) << "row " << row;
            break;
        case Expect::Negative:
            ASSERT_EQ(n.form(), Number::Form::Negative) << "row " << row;
            EXPECT_EQ(n.as_i64(), c.i) << "row " << row;
            break;
        case Expect::Double:
            ASSERT_EQ(n.form(), Number::Form::Double) << "row " << row;
            EXPECT_EQ(bits(n.as_double()), bits(c.d))
                << "row " << row << ": got " << n.as_double() << ", want " << c.d;
            break;
        case Expect::Error: break;
    }
}

constexpr double kMax = std::numeric_limits<double>::max();

}  // namespace

TEST(NumberLiterals, SyntaxErrors) {
    const Case cases[] = {
        error_case("[1.]", "invalid number at line 1 column 4"),
        error_case("[1.", "EOF while parsing a value at line 1 column 3"),
        error_case("[1e]", "invalid number at line 1 column 4"),
        error_case("[1e", "EOF while parsing a value at line 1 column 3"),
        error_case("[1e+]", "invalid number at line 1 column 5"),
        error_case("[1e-]", "invalid number at line 1 column 5"),
        error_case("[1e+", "EOF while parsing a value at line 1 column 4"),
        error_case("[1E-", "EOF while parsing a value at line 1 column 4"),
        error_case("[1ex]", "invalid number at line 1 column 4"),
        error_case("[-]", "invalid number at line 1 column 3"),
        error_case("[-", "EOF while parsing a value at line 1 column 2"),
        error_case("[-a]", "invalid number at line 1 column 3"),
        error_case("[01]", "invalid number at line 1 column 3"),
        error_case("[-01]", "invalid number at line 1 column 4"),
        error_case("[00.5]", "invalid number at line 1 column 3"),
        error_case("[1.x]", "invalid number at line 1 column 4"),
        error_case("[1.e5]", "invalid number at line 1 column 4"),
        error_case("[-.5]", "invalid number at line 1 column 3"),
        error_case("[1.5.3]", "expected `,` or `]` at line 1 column 5"),
        error_case("[1e5.3]", "expected `,` or `]` at line 1 column 5"),
        error_case("[0x10]", "expected `,` or `]` at line 1 column 3"),
        error_case("[1e2e3]", "expected `,` or `]` at line 1 column 5"),
    };
    for (const Case& c : cases) check(c);
}

TEST(NumberLiterals, OutOfRangeAndUnderflow) {
    const Case cases[] = {
        error_case("[1e400]", "number out of range at line 1 column 6"),
        error_case("[-1e400]", "number out of range at line 1 column 7"),
        // Fails after the tenth exponent digit, not at the literal's end.
        error_case("[1e99999999999]", "number out of range at line 1 column 13"),
        error_case("[1e+99999999999]", "number out of range at line 1 column 14"),
        error_case("[1e2147483648]", "number out of range at line 1 column 13"),
        error_case("[1e2147483647]", "number out of range at line 1 column 13"),
        double_case("[0e99999999999]", 0.0),
        double_case("[-0e99999999999]", -0.0),
        double_case("[0e2147483647]", 0.0),
        double_case("[0.0e2147483647]", 0.0),
        double_case("[1e-99999999999]", 0.0),
        double_case("[-1e-99999999999]", -0.0),
        double_case("[1e-2147483648]", 0.0),
        double_case("[1e-400]", 0.0),
        double_case("[-1e-400]", -0.0),
        double_case("[1e-330]", 0.0),
        double_case("[1.5e-320]", 1.5e-320),
        double_case("[5e-324]", std::numeric_limits<double>::denorm_min()),
        double_case("[1e308]", 1e308),
        error_case("[10e308]", "number out of range at line 1 column 7"),
        error_case("[1e309]", "number out of range at line 1 column 6"),
        double_case("[1.7976931348623157e308]", kMax),
        double_case("[-1.7976931348623157e308]", -kMax),
        error_case("[1.7976931348623158e308]", "number out of range at line 1 column 23"),
        double_case("[0e400]", 0.0),
        double_case("[0.000e-99999]", 0.0),
        // The exponent is held to 32 bits: the fraction's -6 plus the
        // most negative exponent saturates instead of wrapping.
        double_case("[0.000001e-2147483647]", 0.0),
        // And the dropped integer digit plus the largest exponent saturates
        // upward: still out of range, never wrapped to a tiny number.
        error_case("[100000000000000000000e2147483647]", "number out of range at line 1 column 33"),
    };
    for (const Case& c : cases) check(c);
}

TEST(NumberLiterals, FixedCompositionIsNotCorrectlyRounded) {
    const Case cases[] = {
        // 3 × POW10[23]: one rounding of the product, off by one unit from
        // the correctly rounded 3e23.
        double_case("[3e23]", 2.9999999999999997e23),
        double_case("[1e-23]", 1.0000000000000001e-23),
        double_case("[0.1]", 0.1),
        double_case("[0.000000000000000000000000000001]", 9.999999999999999e-31),
        double_case("[1.5]", 1.5),
        double_case("[-2.25]", -2.25),
        double_case("[123.456e2]", 12345.6),
        double_case("[1e22]", 1e22),
    };
    for (const Case& c : cases) check(c);
    // The correctly rounded values differ, so the rows above prove the
    // fixed composition is used.
    EXPECT_NE(bits(2.9999999999999997e23), bits(3e23));
    EXPECT_NE(bits(1.0000000000000001e-23), bits(1e-23));
}

TEST(NumberLiterals, Forms) {
    const Case cases[] = {
        unsigned_case("[0]", 0),
        unsigned_case("[7]", 7),
        unsigned_case("[18446744073709551615]", 18446744073709551615ull),
        double_case("[18446744073709551616]", 1.8446744073709552e19),
        double_case("[18446744073709551615.0]", 1.8446744073709552e19),
        double_case("[123456789012345678901234567890]", 1.2345678901234568e29),
        negative_case("[-1]", -1),
        negative_case("[-9223372036854775807]", -9223372036854775807),
        negative_case("[-9223372036854775808]", std::numeric_limits<std::int64_t>::min()),
        double_case("[-9223372036854775809]", -9.223372036854776e18),
        double_case("[-18446744073709551615]", -1.8446744073709552e19),
        double_case("[-0]", -0.0),
        double_case("[-0.0]", -0.0),
        double_case("[0.0]", 0.0),
        double_case("[0e0]", 0.0),
        double_case("[1.0]", 1.0),
        double_case("[1E+2]", 100.0),
        double_case("[1e05]", 100000.0),
        double_case("[1e-0]", 1.0),
        double_case("[-1E-2]", -0.01),
    };
    for (const Case& c : cases) check(c);
}

TEST(NumberLiterals, TruncatedSignificands) {
    const Case cases[] = {
        // Twenty fraction digits fit; the rest are dropped, not rounded.
        double_case("[0.12345678901234567890123]",
                    static_cast<double>(12345678901234567890ull) / 1e20),
        // One dropped integer digit, then a fraction whose first digit no
        // longer fits, then an exponent.
        double_case("[123456789012345678901.5e2]",
                    static_cast<double>(12345678901234567890ull) * 1e3),
        // The digit 6 would overflow, so it and the three after it scale.
        double_case("[18446744073709551616999]",
                    static_cast<double>(1844674407370955161ull) * 1e4),
        double_case("[-123456789012345678901e-1]",
                    -static_cast<double>(12345678901234567890ull)),
    };
    for (const Case& c : cases) check(c);
}

TEST(NumberLiterals, LiteralEndsAtFirstForeignByte) {
    const Case cases[] = {
        unsigned_case("[ 42 ]", 42),
        unsigned_case("[42\n]", 42),
        double_case("[4.2\t]", 4.2),
        double_case("[4e2\r]", 400.0),
    };
    for (const Case& c : cases) check(c);
}

TEST(NumberLiterals, PowerTableHoldsNearestDoubles) {
    for (int k = 0; k <= 308; ++k) {
        const std::string literal = "1e" + std::to_string(k);
        const double expected = std::strtod(literal.c_str(), nullptr);
        EXPECT_EQ(bits(POW10[k]), bits(expected)) << "POW10[" << k << "]";
    }
}

TEST(NumberLiterals, ScaleByPowerOfTenDirect) {
    struct Row {
        std::uint64_t s;
        std::int32_t e;
        bool ok;
        double value;
    };
    const Row rows[] = {
        {0, std::numeric_limits<std::int32_t>::max(), true, 0.0},
        {0, std::numeric_limits<std::int32_t>::min(), true, 0.0},
        {1, std::numeric_limits<std::int32_t>::min(), true, 0.0},
        {1, 309, false, 0},
        {1, 308, true, 1e308},
        {18, 307, false, 0},
        {17, 307, true, 1.7e308},
        {1, -308, true, 1e-308},
        {1, -309, true, 1e-308 / 10.0},
    };
    for (const Row& r : rows) {
        double out = -1;
        const bool ok = scale_by_power_of_ten(r.s, r.e, out);
        EXPECT_EQ(ok, r.ok) << "s=" << r.s << " e=" << r.e;
        if (ok && r.ok) {
            EXPECT_EQ(bits(out), bits(r.value)) << "s=" << r.s << " e=" << r.e;
        }
    }
}

// Digit runs of every length, read eight at a time with the rest in one
// step: the same literal gives the same number whether it ends the input or
// has bytes after it, and whatever byte ends it.
TEST(NumberLiterals, EveryDigitCountAnywhereInTheInput) {
    const std::string digits = "9876543210123456789012";
    for (std::size_t n = 1; n <= digits.size(); ++n) {
        const std::string run = digits.substr(0, n);
        for (const std::string& literal : {run, "-" + run, "1." + run, "0." + run, run + ".5", run + "e-3", run + "E2"}) {
            const auto at_end = read_top_level_array("[" + literal + "]");
            ASSERT_TRUE(at_end.is_ok()) << literal;
            const Value& expected = at_end.value()[0];
            if (n <= 19 && literal == run) {
                EXPECT_EQ(expected.as_number().as_u64(), std::stoull(run)) << run;
            }
            for (const char* after : {",0]", " ]", ",\"xxxxxxxxxxxxxxxxxxx\"]"}) {
                const std::string payload = "[" + literal + after;
                const auto read = read_top_level_array(payload);
                ASSERT_TRUE(read.is_ok()) << payload;
                EXPECT_EQ(read.value()[0], expected) << payload;
            }
        }
    }
    // A run that would overflow in one step is finished digit by digit.
    check(unsigned_case("[18446744073709551615         ]", 18446744073709551615ull));
    check(double_case("[18446744073709551616         ]", 18446744073709551616.0));
}

// The in-place read of short integers must agree with parse_number on
// every literal, where it takes the literal and where it hands it on: each
// digit count, signs, leading zeros, fractions and exponents after the
// digits, and ends of input close behind the literal.
TEST(NumberLiterals, InPlaceReadAgreesWithParseNumber) {
    const std::string digits = "908172635445362718";
    const char* const afters[] = {"", ",", "]", " ", ".5", "e3", "E+1", "x", "-", "0", ".", "e"};
    for (std::size_t n = 0; n <= 10; ++n) {
        for (const std::string& lead : {std::string(), std::string("-"), std::string("0"), std::string("-0")}) {
            for (const char* after : afters) {
                for (std::size_t padding : {0, 1, 7, 8, 16}) {
                    const std::string literal = lead + digits.substr(0, n) + after;
                    const std::string text = literal + std::string(padding, ' ');
                    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
                    const auto* end = begin + text.size();
                    const unsigned char* p1 = begin;
                    const unsigned char* p2 = begin;
                    Number n1 = Number::from_u64(7), n2 = Number::from_u64(7);
                    NumberError e1, e2;
                    ShortDecimal d1, d2;
                    const bool ok1 = parse_number(p1, end, n1, e1, &d1);
                    const bool ok2 = read_number_literal(p2, end, n2, e2, &d2);
                    ASSERT_EQ(ok1, ok2) << '"' << text << '"';
                    if (!ok1) {
                        EXPECT_EQ(e1.code, e2.code) << text;
                        continue;
                    }
                    EXPECT_EQ(p1 - begin, p2 - begin) << '"' << text << '"';
                    EXPECT_EQ(n1.form(), n2.form()) << text;
                    EXPECT_TRUE(n1 == n2) << '"' << text << '"';
                    if (n1.form() == Number::Form::Double) {
                        EXPECT_EQ(d1.significand, d2.significand) << text;
                    }
                }
            }
        }
    }
}
