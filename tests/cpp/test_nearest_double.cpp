// nearest_double, which stands in for from_chars on C++ libraries without
// it: held to the compiler's own reading of literals, to exact midpoints
// between doubles, to the writer's texts and, where the library has it, to
// from_chars itself. It is compiled and tested on every build, so that a
// wrong fallback cannot hide behind a library that never uses it.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include "json/nearest_double.hpp"
#include "json/writer.hpp"

using tessik::json::nearest_double;

namespace {

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

// The double read, or a NaN marker when the text was refused.
double read(std::string_view text) {
    double d = std::numeric_limits<double>::quiet_NaN();
    if (!nearest_double(text.data(), text.data() + text.size(), d)) return std::numeric_limits<double>::quiet_NaN();
    return d;
}

::testing::AssertionResult reads_as(std::string_view text, double want) {
    const double got = read(text);
    if (bits(got) == bits(want)) return ::testing::AssertionSuccess();
    char g[40], w[40];
    std::snprintf(g, sizeof g, "%a", got);
    std::snprintf(w, sizeof w, "%a", want);
    return ::testing::AssertionFailure() << std::string(text.substr(0, 120)) << (text.size() > 120 ? "..." : "")
                                         << ": got " << g << ", want " << w;
}

// Concatenation by append: GCC 12 warns falsely (-Wrestrict) on a literal
// + std::string.
std::string cat(std::initializer_list<std::string_view> parts) {
    std::string s;
    for (const std::string_view p : parts) s.append(p);
    return s;
}

constexpr double kMin = std::numeric_limits<double>::denorm_min();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

// The compiler reads each literal correctly rounded, independently of the
// code under test; the text is the literal as written.
#define LITERAL(x) {#x, x}

TEST(NearestDouble, ReadsLiteralsAsTheCompilerDoes) {
    const struct {
        std::string_view text;
        double want;
    } cases[] = {
        LITERAL(0.1), LITERAL(0.2), LITERAL(0.3), LITERAL(1.5), LITERAL(123.456), LITERAL(1e23), LITERAL(1E22),
        LITERAL(8.98846567431158e307), LITERAL(1.7976931348623157e308), LITERAL(1.7976931348623158e308),
        LITERAL(4.9406564584124654e-324), LITERAL(5e-324), LITERAL(1e-323), LITERAL(2.2250738585072011e-308),
        LITERAL(2.2250738585072012e-308), LITERAL(2.2250738585072014e-308), LITERAL(7.038531e-26),
        LITERAL(0.30000000000000004), LITERAL(9007199254740993.0), LITERAL(9007199254740995.0),
        LITERAL(9007199254740993.0000000000000000000001), LITERAL(123456789012345678901234567890.0),
        LITERAL(1.00000000000000011102230246251565404236316680908203125),  // 1 + 2^-53, a tie
        LITERAL(1.00000000000000011102230246251565404236316680908203124),
        LITERAL(1.00000000000000011102230246251565404236316680908203126),
        LITERAL(0.0000000000000000000000000000000000000000000000001), LITERAL(1000e-3), LITERAL(12.5e+2),
        LITERAL(3.14159265358979323846264338327950288419716939937510582097494459230781640628620899),
        LITERAL(6.9533558078350043e-310), LITERAL(1.1125369292536007e-308),
        LITERAL(4.4501477170144023e-308), LITERAL(1e-300), LITERAL(1e300), LITERAL(1.448997445238699),
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(reads_as(c.text, c.want));
        EXPECT_TRUE(reads_as(cat({"-", c.text}), -c.want));
    }
}

TEST(NearestDouble, EdgesOfTheRange) {
    const struct {
        std::string_view text;
        double want;
    } cases[] = {
        {"0", 0.0},
        {"-0", -0.0},
        {"-0.0", -0.0},
        {"0.000e-5", 0.0},
        {"0e999999999999999999", 0.0},
        {"-0e-999999999999999999", -0.0},
        {"2.4703282292062327e-324", 0.0},  // just under half the least subnormal
        {"2.4703282292062328e-324", kMin},
        {"-2.4703282292062328e-324", -kMin},
        {"2.4703282292062327209e-324", kMin},
        {"3e-324", kMin},
        {"1e-400", 0.0},
        {"-1e-400", -0.0},
        {"1e-99999999999", 0.0},
        {"1e309", kInf},
        {"-1e309", -kInf},
        {"1e99999999999999999999", kInf},
        {"1.7976931348623159e308", kInf},  // past max + half an ulp
        // max + half an ulp exactly: the tie goes to the even significand, 2^1024.
        {"17976931348623158079372897140530341507993413271003782693617377898044496829276475094664901797758720709633028"
         "64166928879109465555478519404026306574886715058206819089020007083836762738548458177115317644757302700698555"
         "71366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497792",
         kInf},
        {"17976931348623158079372897140530341507993413271003782693617377898044496829276475094664901797758720709633028"
         "64166928879109465555478519404026306574886715058206819089020007083836762738548458177115317644757302700698555"
         "71366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497791.999",
         kMax},
    };
    for (const auto& c : cases) EXPECT_TRUE(reads_as(c.text, c.want));
}

TEST(NearestDouble, DigitsPastTheKeptOnes) {
    // 2^53 + 1 is a tie between 2^53 and 2^53 + 2; a nonzero digit far
    // past the kept ones breaks it upwards, zeros leave it.
    const std::string tie = "9007199254740993.";
    const std::string zeros(1000, '0');
    EXPECT_TRUE(reads_as(cat({tie, zeros}), 9007199254740992.0));
    EXPECT_TRUE(reads_as(cat({tie, zeros, "1"}), 9007199254740994.0));
    EXPECT_TRUE(reads_as(cat({tie, zeros, "1e0"}), 9007199254740994.0));
    // Long integers: the digits past the kept ones still scale.
    const std::string_view z(zeros);
    EXPECT_TRUE(reads_as(cat({"1", z.substr(0, 300)}), 1e300));
    EXPECT_TRUE(reads_as(cat({"1", z.substr(0, 900), "e-900"}), 1.0));
    EXPECT_TRUE(reads_as(cat({"1", z.substr(0, 900), "1e-901"}), 1.0));
    EXPECT_TRUE(reads_as(cat({"1", z.substr(0, 400)}), kInf));
    EXPECT_TRUE(reads_as(cat({"0.", z.substr(0, 400), "1"}), 0.0));
    EXPECT_TRUE(reads_as(cat({"0.", z.substr(0, 323), "5"}), kMin));  // 5e-324
    EXPECT_TRUE(reads_as(cat({std::string(1200, '9'), "e-1200"}), 1.0));
}

TEST(NearestDouble, RefusesWhatIsNotAJsonNumber) {
    for (const std::string_view text :
         {"", "-", "+1", "01", "-01", "1.", ".5", "1e", "1e+", "1e-", "1.e5", "1x", " 1", "1 ", "0x10", "inf", "nan",
          "1..2", "1e5.5", "--1", "1ee5"}) {
        double d = 42.0;
        EXPECT_FALSE(nearest_double(text.data(), text.data() + text.size(), d)) << "'" << text << "'";
        EXPECT_EQ(d, 42.0) << "'" << text << "'";
    }
}

TEST(NearestDouble, ReadsTheWritersTextsBack) {
    // What a top-level number cell holds: the writer's shortest digits of a
    // double, which must read back as that double.
    std::mt19937_64 random(20261209);
    int checked = 0;
    for (int i = 0; i < 100000; ++i) {
        const double x = std::bit_cast<double>(random());
        if (!std::isfinite(x)) continue;
        ASSERT_TRUE(reads_as(tessik::json::format_double(x), x));
        ++checked;
    }
    for (int e = -1074; e <= 1023; ++e) {
        const double p = std::ldexp(1.0, e);
        for (const double x : {p, std::nextafter(p, 0.0), std::nextafter(p, kInf)}) {
            if (!std::isfinite(x)) continue;
            ASSERT_TRUE(reads_as(tessik::json::format_double(x), x));
            ++checked;
        }
    }
    EXPECT_GT(checked, 100000);
}

#if defined(__GLIBC__) && LDBL_MANT_DIG >= 64
// The exact decimal expansion of m, a long double, with `digits` digits
// after the point: glibc prints it exactly.
std::string exact_text(long double m, int digits = 800) {
    std::string s(digits + 16, '\0');
    s.resize(static_cast<std::size_t>(std::snprintf(s.data(), s.size(), "%.*Le", digits, m)));
    return s;
}

// The text just above (up) or below the exact value in `text`: a digit
// past the last significant one, or the last nonzero digit lowered with
// nines after it.
std::string nudged(const std::string& text, bool up) {
    const std::size_t e = text.find('e');
    std::string mantissa = text.substr(0, e);
    if (up) {
        mantissa += "1";
    } else {
        const std::size_t last = mantissa.find_last_not_of("0.");
        mantissa[last] = static_cast<char>(mantissa[last] - 1);
        for (std::size_t i = last + 1; i < mantissa.size(); ++i)
            if (mantissa[i] == '0') mantissa[i] = '9';
    }
    return mantissa + text.substr(e);
}

TEST(NearestDouble, MidpointsBetweenNeighbours) {
    // Midpoints need 54 bits: exact in an x87 long double, whose range also
    // covers the subnormal doubles' midpoints.
    std::mt19937_64 random(7);
    int checked = 0;
    for (int e = -1074; e <= 1023; ++e) {
        const double p = std::ldexp(1.0, e);
        // The binade's first double, one at random, and the one below it
        // (the irregular spacing under a power of two).
        const double lo = e >= -1022 ? p : kMin;
        const double random_in = e >= -1022 ? std::ldexp(1.0 + std::ldexp(static_cast<double>(random() >> 12), -52), e)
                                            : static_cast<double>(random() % (std::uint64_t{1} << 52)) * kMin;
        for (const double x : {lo, random_in, std::nextafter(p, 0.0)}) {
            const double next = std::nextafter(x, kInf);
            if (x == 0.0 || !std::isfinite(next)) continue;
            const long double m = (static_cast<long double>(x) + static_cast<long double>(next)) / 2;
            const std::string text = exact_text(m);
            const double even = (bits(x) & 1) == 0 ? x : next;
            ASSERT_TRUE(reads_as(text, even));
            ASSERT_TRUE(reads_as(nudged(text, true), next));
            ASSERT_TRUE(reads_as(nudged(text, false), x));
            ++checked;
        }
    }
    EXPECT_GT(checked, 6000);
}
#endif

#if TESSIK_HAVE_FROM_CHARS_DOUBLE
TEST(NearestDouble, AgreesWithFromChars) {
    // Seeded random literals: 1 to 40 digits, a point anywhere, exponents
    // over the whole range and past it.
    std::mt19937_64 random(99);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<std::uint64_t>(n)); };
    int compared = 0, out_of_range = 0;
    for (int i = 0; i < 100000; ++i) {
        std::string text = pick(2) ? "-" : "";
        const int digits = 1 + pick(40);
        std::string body;
        for (int d = 0; d < digits; ++d) body += static_cast<char>('0' + (d == 0 ? 1 + pick(9) : pick(10)));
        switch (pick(3)) {
            case 0: text += body; break;
            case 1: {
                const auto point = static_cast<std::size_t>(1 + pick(digits));
                text += body.substr(0, point);
                if (point < body.size()) text.append(".").append(body, point);
                break;
            }
            default: text.append("0.").append(static_cast<std::size_t>(pick(30)), '0').append(body);
        }
        if (pick(4) != 0) text.append(pick(2) ? "e" : "E").append(std::to_string(pick(700) - 360));
        double want = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), want);
        ASSERT_EQ(r.ptr, text.data() + text.size()) << text;
        const double got = read(text);
        if (r.ec == std::errc::result_out_of_range) {
            // Reported rather than rounded by from_chars: an infinity or a zero here.
            EXPECT_TRUE(std::isinf(got) || got == 0.0) << text << " read as " << got;
            EXPECT_EQ(std::signbit(got), text[0] == '-') << text;
            ++out_of_range;
            continue;
        }
        ASSERT_TRUE(reads_as(text, want));
        ++compared;
    }
    EXPECT_GT(compared, 90000);
    EXPECT_GT(out_of_range, 100);
}
#endif
