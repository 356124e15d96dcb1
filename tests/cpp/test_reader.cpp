// The reader: payload bytes in, elements or the exact error text out.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/quoted.hpp"
#include "json/reader.hpp"
#include "json/unicode_tables.hpp"
#include "support.hpp"
#include "transform/entry.hpp"

using namespace tessik::json;
using tessik::json::testing::same;
using namespace std::string_view_literals;

namespace {

Value S(std::string_view s) { return Value(String(s)); }
Value U(std::uint64_t u) { return Value::from_u64(u); }
Value A(std::initializer_list<Value> items) { return Value(Array(items)); }
Value O(std::initializer_list<std::pair<std::string_view, Value>> members) {
    Map m;
    for (const auto& [k, v] : members) m.insert_full(String(k), v);
    return Value(std::move(m));
}


struct Case {
    std::string name;
    std::string payload;
    std::optional<std::vector<Value>> elements;  // expected on success
    std::string error;                           // expected text otherwise
};

Case ok(std::string name, std::string_view payload, std::vector<Value> elements) {
    return {std::move(name), std::string(payload), std::move(elements), {}};
}
Case fails(std::string name, std::string_view payload, std::string error) {
    return {std::move(name), std::string(payload), std::nullopt, std::move(error)};
}

void run(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        auto result = read_top_level_array(c.payload);
        if (!c.elements) {
            ASSERT_FALSE(result.is_ok()) << "row '" << c.name << "' read without error";
            EXPECT_EQ(result.error().text(), c.error) << "row '" << c.name << "'";
            EXPECT_GE(result.error().line, 1u) << "row '" << c.name << "'";
            continue;
        }
        ASSERT_TRUE(result.is_ok()) << "row '" << c.name << "': " << result.error().text();
        const std::vector<Value>& got = result.value();
        ASSERT_EQ(got.size(), c.elements->size()) << "row '" << c.name << "'";
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_TRUE(same(got[i], (*c.elements)[i])) << "row '" << c.name << "' element " << i;
        }
    }
}

std::string invalid_type(std::string_view description, std::size_t column) {
    return "invalid type: " + std::string(description) + ", expected a sequence at line 1 column " +
           std::to_string(column);
}

}  // namespace

TEST(ReaderDocument, TopLevel) {
    run({
        fails("empty", "", "EOF while parsing a value at line 1 column 0"),
        fails("three spaces", "   ", "EOF while parsing a value at line 1 column 3"),
        fails("line feed", "\n", "EOF while parsing a value at line 2 column 0"),
        ok("empty array", "[]", {}),
        ok("array then spaces and line feeds", "[] \n \n\t\r", {}),
        ok("whitespace around", " \t\r\n[1]\n", {U(1)}),
        fails("trailing word", "[] x", "trailing characters at line 1 column 4"),
        fails("two arrays", "[][]", "trailing characters at line 1 column 3"),
        fails("trailing NUL", "[1]\0"sv, "trailing characters at line 1 column 4"),
        fails("byte-order mark", "\xEF\xBB\xBF[]", "expected value at line 1 column 1"),
        fails("form feed is not whitespace", "\f[]", "expected value at line 1 column 1"),
        fails("vertical tab inside", "[\v]", "expected value at line 1 column 2"),
        fails("no-break space inside", "[\xC2\xA0]", "expected value at line 1 column 2"),
        fails("x", "x", "expected value at line 1 column 1"),
        fails("closing bracket", "]", "expected value at line 1 column 1"),
    });
}

TEST(ReaderDocument, WrongTopLevelType) {
    run({
        fails("object", "{}", invalid_type("map", 0)),
        fails("object after spaces", "  {}", invalid_type("map", 2)),
        fails("object is not read", "{\"a\" 1 2", invalid_type("map", 0)),
        fails("null", "null", invalid_type("null", 4)),
        fails("true", "true", invalid_type("boolean `true`", 4)),
        fails("false", "false", invalid_type("boolean `false`", 5)),
        fails("5", "5", invalid_type("integer `5`", 1)),
        fails("-5", "-5", invalid_type("integer `-5`", 2)),
        fails("1.5", "1.5", invalid_type("floating point `1.5`", 3)),
        fails("-0", "-0", invalid_type("floating point `-0.0`", 2)),
        fails("1e2", " 1e2", invalid_type("floating point `100.0`", 4)),
        fails("u64 max", "18446744073709551615",
              invalid_type("integer `18446744073709551615`", 20)),
        fails("i64 min", "-9223372036854775808",
              invalid_type("integer `-9223372036854775808`", 20)),
        fails("5 x", "5 x", invalid_type("integer `5`", 1)),
        fails("string", "\"x\"", invalid_type("string \"x\"", 3)),
        fails("string with tab", "\"a\\tb\"", invalid_type("string \"a\\tb\"", 6)),
        fails("string on line 2", "\n\"x\"",
              "invalid type: string \"x\", expected a sequence at line 2 column 3"),
        fails("nul", "nul", "EOF while parsing a value at line 1 column 3"),
        fails("nulx", "nulx", "expected ident at line 1 column 4"),
        fails("01", "01", "invalid number at line 1 column 2"),
        fails("1e400", "1e400", "number out of range at line 1 column 5"),
        fails("-", "-", "EOF while parsing a value at line 1 column 1"),
        fails("1.", "1.", "EOF while parsing a value at line 1 column 2"),
        fails("open string", "\"abc", "EOF while parsing a string at line 1 column 4"),
        fails("bad UTF-8 string", "\"\xFF\"", "invalid unicode code point at line 1 column 3"),
    });
}

TEST(ReaderDocument, QuotedFormOfText) {
    struct Row {
        std::string_view name;
        std::string_view json;    // the top-level string literal
        std::string_view quoted;  // its quoted form in the message
    };
    const Row rows[] = {
        {"quote and backslash", R"("a\"b\\c")", R"("a\"b\\c")"},
        {"single quote", R"("it's")", R"("it's")"},
        {"NUL", R"("\u0000")", R"("\0")"},
        {"CR LF", R"("\r\n")", R"("\r\n")"},
        {"other C0", R"("\u0001\u001f\b\f")", R"("\u{1}\u{1f}\u{8}\u{c}")"},
        {"DEL and C1", R"("\u007f\u0085\u009f")", R"("\u{7f}\u{85}\u{9f}")"},
        {"space is itself", R"(" ")", R"(" ")"},
        {"soft hyphen", R"("\u00ad")", R"("\u{ad}")"},
        {"combining acute", R"("e\u0301")", R"("e\u{301}")"},
        {"no-break space", R"("\u00a0")", R"("\u{a0}")"},
        {"e acute is itself", "\"\xC3\xA9\"", "\"\xC3\xA9\""},
        {"ideographic space", R"("\u3000")", R"("\u{3000}")"},
        {"zero width space", R"("\u200b")", R"("\u{200b}")"},
        {"byte-order mark", R"("\ufeff")", R"("\u{feff}")"},
        {"unassigned", R"("\u0378")", R"("\u{378}")"},
        {"noncharacter", R"("\uffff")", R"("\u{ffff}")"},
        {"private use", R"("\ue000")", R"("\u{e000}")"},
        {"plane 16 private use", R"("\udbff\udffd")", R"("\u{10fffd}")"},
        {"language tag", R"("\udb40\udc01")", R"("\u{e0001}")"},
        {"emoji is itself", R"("\ud83d\ude00")", "\"\xF0\x9F\x98\x80\""},
        {"CJK is itself", "\"\xE4\xB8\xAD\"", "\"\xE4\xB8\xAD\""},
    };
    for (const Row& r : rows) {
        auto result = read_top_level_array(r.json);
        ASSERT_FALSE(result.is_ok()) << r.name;
        const std::string expected = "invalid type: string " + std::string(r.quoted) +
                                     ", expected a sequence at line 1 column " + std::to_string(r.json.size());
        EXPECT_EQ(result.error().text(), expected) << "row '" << r.name << "'";
        // The transform reads escapes in the writer's form, but quotes the
        // decoded string here all the same.
        auto columnar = tessik::transform::columnarize_json(r.json);
        ASSERT_FALSE(columnar.is_ok()) << r.name;
        EXPECT_EQ(columnar.error(), "invalid row-oriented JSON: " + expected) << "row '" << r.name << "'";
    }
}

TEST(ReaderDocument, EscapedCodePointTable) {
    const auto& table = unicode::ESCAPED_RANGES;
    for (std::size_t i = 0; i < std::size(table); ++i) {
        EXPECT_LE(table[i].first, table[i].last) << "range " << i;
        if (i > 0) {
            EXPECT_GT(table[i].first, table[i - 1].last + 1) << "range " << i;
        }
    }
    EXPECT_LE(table[std::size(table) - 1].last, 0x10FFFFu);
    struct Row {
        char32_t c;
        bool escaped;
    };
    const Row rows[] = {
        {0x41, false},    {0x7F, true},     {0xA0, true},     {0xA1, false},
        {0xAD, true},     {0x300, true},    {0x36F, true},    {0x370, false},
        {0x378, true},    {0x4E2D, false},  {0xD7A3, false},  {0xE000, true},
        {0xF8FF, true},   {0xF900, false},  {0xFFFD, false},  {0xFFFE, true},
        {0x1F600, false}, {0x2FFFF, true},  {0xE0001, true},  {0xF0000, true},
        {0xFFFFD, true},  {0x10FFFF, true}, {0x2028, true},   {0x1680, true},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(escapes_as_code_point(r.c), r.escaped) << "U+" << std::hex << std::uint32_t(r.c);
    }
}

TEST(ReaderDocument, Arrays) {
    run({
        fails("[1", "[1", "EOF while parsing a list at line 1 column 2"),
        fails("[", "[", "EOF while parsing a list at line 1 column 1"),
        fails("[1,", "[1,", "EOF while parsing a value at line 1 column 3"),
        fails("[1, space", "[1, ", "EOF while parsing a value at line 1 column 4"),
        fails("[1 2]", "[1 2]", "expected `,` or `]` at line 1 column 4"),
        fails("[1,]", "[1,]", "trailing comma at line 1 column 4"),
        fails("[1, ]", "[1,\n ]", "trailing comma at line 2 column 2"),
        fails("[,1]", "[,1]", "expected value at line 1 column 2"),
        fails("[,]", "[,]", "expected value at line 1 column 2"),
        fails("[}", "[}", "expected value at line 1 column 2"),
        fails("[1}", "[1}", "expected `,` or `]` at line 1 column 3"),
        ok("nested empties", "[[],{}]", {A({}), O({})}),
        ok("mixed", "[null,true,false,0,\"s\",[1],{\"k\":[]}]",
           {Value(), Value(true), Value(false), U(0), S("s"), A({U(1)}), O({{"k", A({})}})}),
        ok("whitespace between tokens", "[\t\n\r ]", {}),
        ok("whitespace everywhere", "[ 1 ,\t{ \"a\" :\n2 } ,\r[ ] ]",
           {U(1), O({{"a", U(2)}}), A({})}),
    });
}

TEST(ReaderDocument, Objects) {
    run({
        fails("[{", "[{", "EOF while parsing an object at line 1 column 2"),
        fails("[{,}]", "[{,}]", "key must be a string at line 1 column 3"),
        fails("[{1:2}]", "[{1:2}]", "key must be a string at line 1 column 3"),
        fails("[{\"a\"}]", "[{\"a\"}]", "expected `:` at line 1 column 6"),
        fails("[{\"a\"", "[{\"a\"", "EOF while parsing an object at line 1 column 5"),
        fails("[{\"a\":1,}]", "[{\"a\":1,}]", "trailing comma at line 1 column 9"),
        fails("[{\"a\":1 \"b\":2}]", "[{\"a\":1 \"b\":2}]", "expected `,` or `}` at line 1 column 9"),
        fails("[{\"a\":1,2}]", "[{\"a\":1,2}]", "key must be a string at line 1 column 9"),
        fails("[{\"a\":1,", "[{\"a\":1,", "EOF while parsing a value at line 1 column 8"),
        fails("[{\"a\":", "[{\"a\":", "EOF while parsing a value at line 1 column 6"),
        fails("[{\"a\":1", "[{\"a\":1", "EOF while parsing an object at line 1 column 7"),
        fails("[{\"a\":1]", "[{\"a\":1]", "expected `,` or `}` at line 1 column 8"),
        fails("[{\"a\":}]", "[{\"a\":}]", "expected value at line 1 column 7"),
        fails("bad key escape", "[{\"\\q\":1}]", "invalid escape at line 1 column 5"),
        ok("empty key", "[{\"\":1}]", {O({{"", U(1)}})}),
        ok("duplicate keys: first position, last value", "[{\"a\":1,\"a\":2,\"b\":3}]",
           {O({{"a", U(2)}, {"b", U(3)}})}),
        ok("escaped key equals plain key", "[{\"a\":1,\"\\u0061\":[true]}]",
           {O({{"a", A({Value(true)})}})}),
        ok("key with escapes then value with escapes", "[{\"k\\n\":\"v\\t\"}]",
           {O({{"k\n", S("v\t")}})}),
    });
}

TEST(ReaderDocument, Literals) {
    run({
        fails("[- 1]", "[- 1]", "invalid number at line 1 column 3"),
        fails("[+1]", "[+1]", "expected value at line 1 column 2"),
        fails("[.5]", "[.5]", "expected value at line 1 column 2"),
        fails("[NaN]", "[NaN]", "expected value at line 1 column 2"),
        fails("[Infinity]", "[Infinity]", "expected value at line 1 column 2"),
        fails("[nan]", "[nan]", "expected ident at line 1 column 3"),
        fails("[1.5.3]", "[1.5.3]", "expected `,` or `]` at line 1 column 5"),
        fails("[truex]", "[truex]", "expected `,` or `]` at line 1 column 6"),
        fails("[tru]", "[tru]", "expected ident at line 1 column 5"),
        fails("[tr", "[tr", "EOF while parsing a value at line 1 column 3"),
        fails("[fals", "[fals", "EOF while parsing a value at line 1 column 5"),
        fails("[tr LF ue]", "[tr\nue]", "expected ident at line 2 column 0"),
        fails("[True]", "[True]", "expected value at line 1 column 2"),
        ok("all three", "[null,true,false]", {Value(), Value(true), Value(false)}),
    });
}

TEST(ReaderDocument, Positions) {
    run({
        fails("CRLF lines", "[1,\r\n2,\r\n]", "trailing comma at line 3 column 1"),
        fails("columns count bytes", "[\"\xC3\xA9x\", 1 2]", "expected `,` or `]` at line 1 column 11"),
        fails("CR does not end a line", "\r\r[x]", "expected value at line 1 column 4"),
        fails("several lines", "\n\n[1,\n  x]", "expected value at line 4 column 3"),
        fails("end after final line feed", "[1\n", "EOF while parsing a list at line 2 column 0"),
        fails("offending byte on next line", "[1\n2]", "expected `,` or `]` at line 2 column 1"),
        fails("consumed line feed", "[nul\nl]", "expected ident at line 2 column 0"),
        fails("three-byte characters", "[\"\xE4\xB8\xAD\xE6\x96\x87\",\n\"\xE4\xB8\xAD\" x]",
              "expected `,` or `]` at line 2 column 7"),
        fails("four-byte character", "[\"\xF0\x9F\x98\x80\" x]", "expected `,` or `]` at line 1 column 9"),
    });
}

TEST(ReaderStrings, ErrorsAndEscapes) {
    run({
        fails("[\"a", "[\"a", "EOF while parsing a string at line 1 column 3"),
        fails("[\"a\\", "[\"a\\", "EOF while parsing a string at line 1 column 4"),
        fails("raw 0x01", "[\"a\x01\"]", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"),
        fails("raw NUL", "[\"\0\"]"sv, "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
        fails("raw line feed", "[\"a\nb\"]", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"),
        fails("raw tab", "[\"a\tb\"]", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"),
        fails("[\"\\x\"]", "[\"\\x\"]", "invalid escape at line 1 column 4"),
        fails("[\"\\U0041\"]", "[\"\\U0041\"]", "invalid escape at line 1 column 4"),
        fails("[\"\\u12\"]", "[\"\\u12\"]", "invalid escape at line 1 column 8"),
        fails("[\"\\u12\"", "[\"\\u12\"", "EOF while parsing a string at line 1 column 7"),
        fails("[\"\\u", "[\"\\u", "EOF while parsing a string at line 1 column 4"),
        fails("[\"\\u00g0\"]", "[\"\\u00g0\"]", "invalid escape at line 1 column 8"),
        ok("[\"\\/\"]", "[\"\\/\"]", {S("/")}),
        ok("all short escapes", R"(["\"\\\/\b\f\n\r\t"])", {S("\"\\/\b\f\n\r\t")}),
        ok("[\"\\u0000\"]", "[\"\\u0000\"]", {S("\0"sv)}),
        ok("[\"\\u00e9\"]", "[\"\\u00e9\"]", {S("\xC3\xA9")}),
        ok("[\"\\u00E9\"]", "[\"\\u00E9\"]", {S("\xC3\xA9")}),
        ok("three-byte escape", "[\"\\u20AC\"]", {S("\xE2\x82\xAC")}),
        ok("escape between plain runs", "[\"ab\\ncd\\u0041ef\"]", {S("ab\ncdAef")}),
        ok("raw DEL and high bytes", "[\"\x7F\xC3\xA9\"]", {S("\x7F\xC3\xA9")}),
        ok("empty string", "[\"\"]", {S("")}),
        ok("two strings reuse scratch", "[\"a\\tb\",\"c\\nd\",\"plain\"]",
           {S("a\tb"), S("c\nd"), S("plain")}),
    });
}

TEST(ReaderStrings, Surrogates) {
    run({
        fails("[\"\\uDC00\"]", "[\"\\uDC00\"]", "lone leading surrogate in hex escape at line 1 column 8"),
        fails("[\"\\uD800\"]", "[\"\\uD800\"]", "unexpected end of hex escape at line 1 column 9"),
        fails("[\"\\uD800\\n\"]", "[\"\\uD800\\n\"]", "unexpected end of hex escape at line 1 column 10"),
        fails("[\"\\uD800\\u0041\"]", "[\"\\uD800\\u0041\"]", "lone leading surrogate in hex escape at line 1 column 14"),
        fails("two high surrogates", "[\"\\uD800\\uD800\"]", "lone leading surrogate in hex escape at line 1 column 14"),
        fails("high surrogate at end", "[\"\\uD800", "EOF while parsing a string at line 1 column 8"),
        fails("high surrogate then backslash at end", "[\"\\uD800\\", "EOF while parsing a string at line 1 column 9"),
        fails("high surrogate then short escape", "[\"\\uD800\\uDC\"]", "invalid escape at line 1 column 14"),
        fails("high surrogate then truncated escape", "[\"\\uD800\\uDC", "EOF while parsing a string at line 1 column 12"),
        ok("[\"\\uD83D\\uDE00\"]", "[\"\\uD83D\\uDE00\"]", {S("\xF0\x9F\x98\x80")}),
        ok("lowest pair", "[\"\\ud800\\udc00\"]", {S("\xF0\x90\x80\x80")}),
        ok("highest pair", "[\"\\uDBFF\\uDFFF\"]", {S("\xF4\x8F\xBF\xBF")}),
    });
}

TEST(ReaderStrings, Utf8Validation) {
    const std::string bad = "invalid unicode code point at line 1 column ";
    run({
        fails("raw 0xFF", "[\"\xFF\"]", bad + "4"),
        fails("0xFF after the quote position", "[\"ab\xFF" "cd\"]", bad + "8"),
        ok("raw C3 A9", "[\"\xC3\xA9\"]", {S("\xC3\xA9")}),
        fails("overlong C0 80", "[\"\xC0\x80\"]", bad + "5"),
        fails("overlong C1 BF", "[\"\xC1\xBF\"]", bad + "5"),
        fails("overlong E0 9F BF", "[\"\xE0\x9F\xBF\"]", bad + "6"),
        ok("E0 A0 80", "[\"\xE0\xA0\x80\"]", {S("\xE0\xA0\x80")}),
        fails("surrogate ED A0 80", "[\"\xED\xA0\x80\"]", bad + "6"),
        ok("ED 9F BF", "[\"\xED\x9F\xBF\"]", {S("\xED\x9F\xBF")}),
        ok("EE 80 80", "[\"\xEE\x80\x80\"]", {S("\xEE\x80\x80")}),
        fails("overlong F0 8F BF BF", "[\"\xF0\x8F\xBF\xBF\"]", bad + "7"),
        ok("F0 90 80 80", "[\"\xF0\x90\x80\x80\"]", {S("\xF0\x90\x80\x80")}),
        ok("F4 8F BF BF", "[\"\xF4\x8F\xBF\xBF\"]", {S("\xF4\x8F\xBF\xBF")}),
        fails("above U+10FFFF", "[\"\xF4\x90\x80\x80\"]", bad + "7"),
        fails("F5", "[\"\xF5\x80\x80\x80\"]", bad + "7"),
        fails("truncated two-byte", "[\"\xC3\"]", bad + "4"),
        fails("truncated three-byte", "[\"\xE2\x82\"]", bad + "5"),
        fails("truncated before ASCII", "[\"\xE2\x82x\"]", bad + "6"),
        fails("lone continuation", "[\"\x80\"]", bad + "4"),
        // Checked only at the closing quote: an earlier escape error wins.
        fails("escape error wins", "[\"\xFF\\x\"]", "invalid escape at line 1 column 5"),
        fails("control error wins", "[\"\xFF\x01\"]",
              "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"),
        fails("bad byte in escaped string", "[\"\\n\xFF\"]", bad + "6"),
        fails("bad byte after pair", "[\"\\uD83D\\uDE00\x80\"]", bad + "16"),
        fails("unterminated wins over bad byte", "[\"\xFF", "EOF while parsing a string at line 1 column 3"),
        fails("bad key", "[{\"\xFF\":1}]", bad + "5"),
    });
}

// Every byte value repeated past one 8-byte word, so that the word-wise
// stop-byte scan meets it at every lane.
TEST(ReaderStrings, EveryByteInPlainRuns) {
    for (int b = 0; b < 256; ++b) {
        for (std::size_t lead = 0; lead < 9; ++lead) {
            const std::string content = std::string(lead, 'a') + std::string(17, static_cast<char>(b));
            const std::string payload = "[\"" + content + "\"]";
            auto result = read_top_level_array(payload);
            const std::string row = "byte " + std::to_string(b) + " after " + std::to_string(lead);
            if (b < 0x20) {
                ASSERT_FALSE(result.is_ok()) << row;
                const std::size_t col = 2 + lead + 1;
                EXPECT_EQ(result.error().text(),
                          b == '\n' ? "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"
                                    : "control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                                          std::to_string(col))
                    << row;
            } else if (b == '"') {
                ASSERT_FALSE(result.is_ok()) << row;
                EXPECT_EQ(result.error().text(),
                          "expected `,` or `]` at line 1 column " + std::to_string(2 + lead + 2))
                    << row;
            } else if (b == '\\') {
                // Eight escaped backslashes, then \" escapes the closing quote.
                ASSERT_FALSE(result.is_ok()) << row;
                EXPECT_EQ(result.error().text(),
                          "EOF while parsing a string at line 1 column " + std::to_string(payload.size()))
                    << row;
            } else if (b >= 0x80) {
                ASSERT_FALSE(result.is_ok()) << row;
                EXPECT_EQ(result.error().text(),
                          "invalid unicode code point at line 1 column " + std::to_string(payload.size() - 1))
                    << row;
            } else {
                ASSERT_TRUE(result.is_ok()) << row << ": " << result.error().text();
                ASSERT_EQ(result.value().size(), 1u) << row;
                EXPECT_EQ(result.value()[0].as_string(), content) << row;
            }
        }
    }
}

// A stop byte or a bad sequence at every offset across word boundaries.
TEST(ReaderStrings, StopBytesAtEveryOffset) {
    for (std::size_t n = 0; n < 40; ++n) {
        const std::string filler(n, 'x');
        const std::string row = "offset " + std::to_string(n);
        {
            auto r = read_top_level_array("[\"" + filler + "\",1]");
            ASSERT_TRUE(r.is_ok()) << row;
            EXPECT_EQ(r.value()[0].as_string(), filler) << row;
        }
        {
            auto r = read_top_level_array("[\"" + filler + "\\u0041" + filler + "\"]");
            ASSERT_TRUE(r.is_ok()) << row;
            EXPECT_EQ(r.value()[0].as_string(), filler + "A" + filler) << row;
        }
        {
            auto r = read_top_level_array("[\"" + filler + "\x1F" + filler + "\"]");
            ASSERT_FALSE(r.is_ok()) << row;
            EXPECT_EQ(r.error().column, n + 3) << row;
        }
        {
            // A truncated sequence just before the quote, after n ASCII bytes.
            const std::string payload = "[\"" + filler + "\xE2\x82\"]";
            auto r = read_top_level_array(payload);
            ASSERT_FALSE(r.is_ok()) << row;
            EXPECT_EQ(r.error().text(),
                      "invalid unicode code point at line 1 column " + std::to_string(payload.size() - 1))
                << row;
        }
        {
            const std::string text = filler + "\xC3\xA9" + filler + "\xF0\x9F\x98\x80" + filler;
            auto r = read_top_level_array("[\"" + text + "\"]");
            ASSERT_TRUE(r.is_ok()) << row;
            EXPECT_EQ(r.value()[0].as_string(), text) << row;
        }
    }
}

TEST(ReaderDocument, NestingLimit) {
    const std::string open127(127, '['), close127(127, ']');
    {
        auto r = read_top_level_array(open127 + close127);
        ASSERT_TRUE(r.is_ok()) << r.error().text();
        ASSERT_EQ(r.value().size(), 1u);
        std::size_t arrays = 0;
        const Value* v = &r.value()[0];
        while (v->kind() == Value::Kind::Array) {
            ++arrays;
            if (v->as_array().empty()) break;
            ASSERT_EQ(v->as_array().size(), 1u);
            v = &v->as_array()[0];
        }
        EXPECT_EQ(arrays, 126u);
        EXPECT_TRUE(v->as_array().empty());
    }
    run({
        fails("128 [", std::string(128, '['), "recursion limit exceeded at line 1 column 128"),
        fails("127 [ then {}", open127 + "{}", "recursion limit exceeded at line 1 column 128"),
        fails("128 [ then ]", std::string(128, '[') + std::string(128, ']'),
              "recursion limit exceeded at line 1 column 128"),
        fails("100000 [", std::string(100000, '['), "recursion limit exceeded at line 1 column 128"),
    });
    // Objects count like arrays, and the depth comes back after each close.
    std::string objects = "[";
    for (int i = 0; i < 126; ++i) objects += "{\"k\":";
    objects += "0";
    for (int i = 0; i < 126; ++i) objects += "}";
    const std::string siblings = objects + "," + objects.substr(1) + "]";
    auto r = read_top_level_array(siblings);
    ASSERT_TRUE(r.is_ok()) << r.error().text();
    EXPECT_EQ(r.value().size(), 2u);
    std::string deeper = "[";
    for (int i = 0; i < 127; ++i) deeper += "{\"k\":";
    auto d = read_top_level_array(deeper);
    ASSERT_FALSE(d.is_ok());
    EXPECT_EQ(d.error().text(),
              "recursion limit exceeded at line 1 column " + std::to_string(deeper.size() - 4));
    // Width does not count: many sibling containers at depth 2.
    std::string wide = "[";
    for (int i = 0; i < 10000; ++i) wide += i ? ",[]" : "[]";
    wide += "]";
    auto w = read_top_level_array(wide);
    ASSERT_TRUE(w.is_ok());
    EXPECT_EQ(w.value().size(), 10000u);
}

TEST(ReaderDocument, ErrorTextWithoutPosition) {
    const Error e{ErrorCode::TrailingComma, 0, 0, {}};
    EXPECT_EQ(e.text(), "trailing comma");
    const Error m{ErrorCode::Message, 2, 5, "custom"};
    EXPECT_EQ(m.text(), "custom at line 2 column 5");
    EXPECT_EQ(error_message(ErrorCode::Message), "");
    EXPECT_EQ(error_message(ErrorCode::ControlCharacterWhileParsingString),
              "control character (\\u0000-\\u001F) found while parsing a string");
}

// Indentation is skipped many spaces at a time: a byte other than a space
// inside or right after such a run must still be judged on its own, at
// every offset of the run, in the element reader and in the transform's
// reader of nested values alike.
TEST(ReaderDocument, IndentationRunsEndAtTheirFirstOtherByte) {
    struct Ending {
        const char* name;
        char byte;
        bool whitespace;
    };
    const Ending endings[] = {{"control byte", '\x05', false}, {"form feed", '\f', false},
                              {"tab", '\t', true},            {"carriage return", '\r', true},
                              {"line feed", '\n', true}};
    for (const Ending& e : endings) {
        for (std::size_t spaces = 0; spaces <= 40; ++spaces) {
            // Alone, and after two lines of the same indentation, which the
            // reader then expects again.
            for (std::size_t lines_before : {0, 2}) {
                std::string before;
                for (std::size_t i = 0; i < lines_before; ++i) {
                    before += '\n';
                    before.append(spaces, ' ');
                    before += "0,";
                }
                std::string run(1 + spaces, ' ');
                run[0] = '\n';
                run += e.byte;
                run.append(spaces % 7, ' ');
                const std::string where = std::string(e.name) + " after " + std::to_string(spaces) + " spaces, " +
                                          std::to_string(lines_before) + " lines before";
                const auto elements = read_top_level_array("[" + before + run + "1]");
                const auto nested = tessik::transform::columnarize_json("[{\"a\":[" + before + run + "1]}]");
                // The same lines as members, where no value's own skip follows.
                std::string members = "[{";
                for (std::size_t i = 0; i < lines_before; ++i) {
                    members += '\n';
                    members.append(spaces, ' ');
                    members += "\"k" + std::to_string(i) + "\":0,";
                }
                members += run + "\"z\":1}]";
                const auto rows = tessik::transform::columnarize_json(members);
                if (e.whitespace) {
                    ASSERT_TRUE(elements.is_ok()) << where;
                    EXPECT_EQ(elements.value().size(), lines_before + 1) << where;
                    ASSERT_TRUE(nested.is_ok()) << where;
                    const std::string cell = lines_before == 0 ? "[1]" : "[0,0,1]";
                    EXPECT_EQ(nested.value().view(), R"({"columns":["a"],"rows":[[)" + cell + R"(]],"constants":{}})")
                        << where;
                    ASSERT_TRUE(rows.is_ok()) << where << ": " << rows.error();
                    EXPECT_EQ(rows.value().view(), lines_before == 0
                                                       ? R"({"columns":["z"],"rows":[[1]],"constants":{}})"
                                                       : R"({"columns":["k0","k1","z"],"rows":[[0,0,1]],"constants":{}})")
                        << where;
                } else {
                    const std::string error = "expected value at line " + std::to_string(lines_before + 2) +
                                              " column " + std::to_string(spaces + 1);
                    ASSERT_FALSE(elements.is_ok()) << where;
                    EXPECT_EQ(elements.error().text(), error) << where;
                    ASSERT_FALSE(nested.is_ok()) << where;
                    EXPECT_EQ(nested.error(), "invalid row-oriented JSON: " + error) << where;
                    ASSERT_FALSE(rows.is_ok()) << where;
                    EXPECT_EQ(rows.error(), "invalid row-oriented JSON: key must be a string at line " +
                                                std::to_string(lines_before + 2) + " column " +
                                                std::to_string(spaces + 1))
                        << where;
                }
            }
        }
    }
}
