// Round trip: random values written by the writer read back to the same
// values. Doubles come back bit for bit where the fixed composition is
// provably exact, and close (a few units in the last place) elsewhere.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "json/buffer.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"
#include "support.hpp"

using namespace tessik::json;
using tessik::json::testing::same;

namespace {

// Doubles whose text the reader turns back into the same bits: the text's
// significand s stays below 2^53 and its exponent within ±22, so s and
// 10^|E| are exact doubles and the one IEEE operation rounds correctly,
// which recovers the double the shortest text came from.
//  - d / 10^j with d < 9·10^14 (at most 15 digits, so the shortest text
//    is d's digits, and an integral result written "N.0" still has
//    s = 10·N < 2^53) and j ≤ 21;
//  - d · 10^j with d < 10^6 not a multiple of 10 and 16 ≤ j ≤ 22, which
//    is written d.ddde+X with s = d and E = j.
class Generator {
public:
    explicit Generator(std::uint64_t seed) : rng_(seed) {}

    std::uint64_t below(std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng_); }

    double exact_double() {
        double x;
        if (below(4) != 0) {
            const std::uint64_t d = below(4) == 0 ? below(1000) : below(900000000000000);
            x = static_cast<double>(d) / pow10(static_cast<int>(below(22)));
        } else {
            std::uint64_t d = 1 + below(999999);
            if (d % 10 == 0) d += 1;
            x = static_cast<double>(d) * pow10(16 + static_cast<int>(below(7)));
        }
        return below(2) ? -x : x;
    }

    double any_finite_double() {
        for (;;) {
            const double x = std::bit_cast<double>(rng_());
            if (std::isfinite(x)) return x;
        }
    }

    Value number() {
        switch (below(3)) {
            case 0: {
                const std::uint64_t u = below(3) == 0 ? rng_() : below(1000);
                return Value::from_u64(u);
            }
            case 1: {
                // -1 down to -2^63.
                const std::uint64_t magnitude = below(3) == 0 ? 1 + (rng_() >> 1) : 1 + below(1000);
                return Value::from_i64(static_cast<std::int64_t>(0 - magnitude));
            }
            default: return Value::from_double(exact_double());
        }
    }

    std::string text() {
        std::string s;
        const std::uint64_t n = below(12);
        for (std::uint64_t i = 0; i < n; ++i) append_char(s);
        return s;
    }

    Value value(int depth) {
        const std::uint64_t pick = below(depth > 0 ? 7 : 5);
        switch (pick) {
            case 0: return Value();
            case 1: return Value(below(2) == 1);
            case 2: return number();
            case 3:
            case 4: return Value(String(text()));
            case 5: {
                Array items;
                const std::uint64_t n = below(5);
                for (std::uint64_t i = 0; i < n; ++i) items.push_back(value(depth - 1));
                return Value(std::move(items));
            }
            default: {
                Map map;
                const std::uint64_t n = below(5);
                for (std::uint64_t i = 0; i < n; ++i) map.insert_full(text(), value(depth - 1));
                return Value(std::move(map));
            }
        }
    }

private:
    static double pow10(int j) {
        double p = 1;
        for (int i = 0; i < j; ++i) p *= 10;  // exact up to 10^22
        return p;
    }

    void append_char(std::string& s) {
        // Code points chosen to exercise the writer's escapes and the
        // reader's UTF-8 validation.
        static const char32_t specials[] = {0x00, 0x01, 0x08, 0x09, 0x0A, 0x0C, 0x0D, 0x1F, '"',
                                            '\\', '/', 0x7F, 0x80, 0xE9, 0x7FF, 0x800, 0xD7FF,
                                            0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
        char32_t c;
        switch (below(4)) {
            case 0: c = specials[below(std::size(specials))]; break;
            case 1: {
                c = static_cast<char32_t>(below(0x110000));
                if (c >= 0xD800 && c <= 0xDFFF) c = 'x';  // no surrogates in UTF-8
                break;
            }
            default: c = static_cast<char32_t>(0x20 + below(0x5F)); break;
        }
        if (c < 0x80) {
            s += static_cast<char>(c);
        } else if (c < 0x800) {
            s += static_cast<char>(0xC0 | (c >> 6));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            s += static_cast<char>(0xE0 | (c >> 12));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | (c >> 18));
            s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        }
    }

    std::mt19937_64 rng_;
};


std::string write(const Value& v) {
    Buffer out;
    write_to_buffer(v, out);
    return std::string(out.view());
}

// Writes [x], reads it back, and gives the text with the Double read, or
// nothing when the read failed or gave another form.
std::pair<std::string, std::optional<double>> write_and_read_back(double x) {
    Array one;
    one.push_back(Value::from_double(x));
    std::string text = write(Value(std::move(one)));
    auto result = read_top_level_array(text);
    if (!result.is_ok() || result.value().size() != 1) return {text + " (not read back)", std::nullopt};
    const Value& v = result.value()[0];
    if (v.kind() != Value::Kind::Number || v.as_number().form() != Number::Form::Double)
        return {text + " (not a Double)", std::nullopt};
    return {text, v.as_number().as_double()};
}

}  // namespace

TEST(RoundTrip, RandomDocuments) {
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
        Generator gen(seed);
        for (int doc = 0; doc < 300; ++doc) {
            Array rows;
            const std::uint64_t n = gen.below(6);
            for (std::uint64_t i = 0; i < n; ++i) rows.push_back(gen.value(4));
            const Value document(std::move(rows));
            const std::string text = write(document);

            auto result = read_top_level_array(text);
            ASSERT_TRUE(result.is_ok()) << "seed " << seed << " doc " << doc << ": "
                                        << result.error().text() << "\n" << text;
            const Value back(std::move(result.value()));
            EXPECT_TRUE(back == document) << "seed " << seed << " doc " << doc << "\n" << text;
            EXPECT_TRUE(same(back, document)) << "seed " << seed << " doc " << doc << "\n" << text;
            // And the text is a fixed point.
            EXPECT_EQ(write(back), text) << "seed " << seed << " doc " << doc;
        }
    }
}

TEST(RoundTrip, ExactDoublesKeepTheirBits) {
    Generator gen(42);
    std::vector<double> samples = {0.0, -0.0, 1.0, -1.0, 0.5, 0.1, 1e15, 1e16, 1e22, 899999999999999.0,
                                   0.00001, 0.000001, 123456.789};
    for (int i = 0; i < 20000; ++i) samples.push_back(gen.exact_double());
    for (double x : samples) {
        const auto [text, back] = write_and_read_back(x);
        ASSERT_TRUE(back) << text;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(*back), std::bit_cast<std::uint64_t>(x)) << text;
    }
}

// Any finite double's text reads back as a finite Double within a few
// units in the last place: the composition rounds at most three times.
TEST(RoundTrip, AnyDoubleReadsBackClose) {
    Generator gen(7);
    std::vector<double> samples = {std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
                                   std::numeric_limits<double>::min(), std::numeric_limits<double>::denorm_min(),
                                   2.2250738585072009e-308, 4.9406564584124654e-322, 1e-310};
    for (int i = 0; i < 20000; ++i) samples.push_back(gen.any_finite_double());
    std::size_t exact = 0;
    for (double x : samples) {
        const auto [text, back] = write_and_read_back(x);
        ASSERT_TRUE(back) << text;
        const double r = *back;
        ASSERT_TRUE(std::isfinite(r)) << text;
        EXPECT_EQ(std::signbit(r), std::signbit(x)) << text;
        const double ax = std::fabs(x);
        const double ulp = std::nextafter(ax, std::numeric_limits<double>::infinity()) - ax;
        EXPECT_LE(std::fabs(r - x), 4 * ulp) << text << " read back as " << r;
        if (std::bit_cast<std::uint64_t>(r) == std::bit_cast<std::uint64_t>(x)) ++exact;
    }
    // Most texts still come back exactly; a collapse here means the
    // composition went wrong even where it cannot be proved exact.
    EXPECT_GT(exact, samples.size() / 2);
}
