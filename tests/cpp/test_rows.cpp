// The transform's own reading of rows: cells kept as compact text, nested
// values made canonical, repeated keys merged, constants compared by text.
#include <gtest/gtest.h>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "transform/entry.hpp"

namespace {

// Two pages, the second unreadable; null when the system refuses them.
char* guarded_pages(std::size_t& page) {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page = info.dwPageSize;
    auto* p = static_cast<char*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    if (p == nullptr || !VirtualProtect(p + page, page, PAGE_NOACCESS, &old)) return nullptr;
    return p;
#else
    page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* p = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED || mprotect(static_cast<char*>(p) + page, page, PROT_NONE) != 0) return nullptr;
    return static_cast<char*>(p);
#endif
}

void release_pages(char* p, std::size_t page) {
#if defined(_WIN32)
    (void)page;
    VirtualFree(p, 0, MEM_RELEASE);
#else
    munmap(p, 2 * page);
#endif
}

std::string run(const std::string& payload) {
    auto r = tessik::transform::columnarize_json(payload);
    if (!r) return "error: " + r.error();
    return std::string(r.value().view());
}

std::string key(int i) { return "\"k" + std::to_string(i) + "\""; }

// {"k0":v0,...} for the given keys and values.
std::string object(const std::vector<int>& keys, const std::vector<std::string>& values) {
    std::string text = "{";
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i != 0) text += ',';
        text += key(keys[i]) + ":" + values[i];
    }
    return text + "}";
}

std::vector<int> range(int n) {
    std::vector<int> r;
    for (int i = 0; i < n; ++i) r.push_back(i);
    return r;
}

std::vector<std::string> numbers(int n, int base) {
    std::vector<std::string> r;
    for (int i = 0; i < n; ++i) r.push_back(std::to_string(base + i));
    return r;
}

std::string one_column(const std::string& cell) { return R"({"columns":["v"],"rows":[[)" + cell + R"(]],"constants":{}})"; }

}  // namespace

TEST(Rows, CompactTextOfNestedValues) {
    struct Row {
        const char* name;
        std::string payload;
        std::string expected;
    };
    const Row rows[] = {
        {"whitespace, escapes and number layouts inside a cell",
         "[{\"v\": [ 1 , \"a\\/b\" , {\"k\" : \"\\u00e9\\n\"} , 1E2 , -0 , 0.50 ] }]",
         one_column("[1,\"a/b\",{\"k\":\"\xC3\xA9\\n\"},100.0,-0.0,0.5]")},
        {"compact input is kept as it stands", R"([{"v":{"a":[true,null,"x"],"b":-12}}])",
         one_column(R"({"a":[true,null,"x"],"b":-12})")},
        {"a repeated key inside a cell: first position, last value",
         R"([{"v":{"a":1,"b":{"c":1,"c":[2]},"a":{"x":0}}}])", one_column(R"({"a":{"x":0},"b":{"c":[2]}})")},
        {"a repeat after whitespace", "[{\"v\":{ \"a\" : 1 ,\n \"b\":2, \"a\" :3 }}]", one_column(R"({"a":3,"b":2})")},
        {"top-level cells made canonical", "[{\"s\":\"\\u0041\\/\",\"n\":1.50e1,\"t\" : true}]",
         R"({"columns":["s","n","t"],"rows":[["A/",15.0,true]],"constants":{}})"},
        {"escapes in the written form stay, others are rewritten",
         R"([{"s":"a\u001Fb\u001fc\u0008d\n\"\\\t","v":["\u001F\u000a",{"k\u001F\/":"\ud83d\ude00"}]}])",
         R"({"columns":["s","v"],"rows":[["a\u001fb\u001fc\bd\n\"\\\t",["\u001f\n",{"k\u001f/":")"
         "\xF0\x9F\x98\x80"
         R"("}]]],"constants":{}})"},
        {"an uppercase hex escape alone is rewritten", R"([{"u":"\u001F","v":["\u001F"],"\u001F":1}])",
         R"({"columns":["u","v","\u001f"],"rows":[["\u001f",["\u001f"],1]],"constants":{}})"},
        {"escaped keys are the same key as plain ones", R"([{"a":1,"\u0061":2},{"a":2}])",
         R"({"columns":[],"rows":[[],[]],"constants":{"a":2}})"},
        {"constants equal but for member order keep the first row's text",
         "[{\"v\":{\"x\":[1,{\"p\":1,\"q\":2}],\"y\":2}},{\"v\": {\"y\":2,\"x\":[1,{\"q\":2,\"p\":1}]}}]",
         R"({"columns":[],"rows":[[],[]],"constants":{"v":{"x":[1,{"p":1,"q":2}],"y":2}}})"},
        {"nested double zeros are equal", R"([{"v":[0.0,{"z":-0.0}]},{"v":[-0.0,{"z":0.0}]}])",
         R"({"columns":[],"rows":[[],[]],"constants":{"v":[0.0,{"z":-0.0}]}})"},
        {"an escaped quote ending a reordered member", R"([{"v":{"a":"x\"","b":1}},{"v":{"b":1,"a":"x\""}}])",
         R"({"columns":[],"rows":[[],[]],"constants":{"v":{"a":"x\"","b":1}}})"},
        {"a zero's sign alone changes the length", R"([{"v":{"a":[0.0],"b":1}},{"v":{"b":1,"a":[-0.0]}}])",
         R"({"columns":[],"rows":[[],[]],"constants":{"v":{"a":[0.0],"b":1}}})"},
        {"top-level integers past 15 digits match by their double",
         R"([{"a":9007199254740993,"b":-9007199254740993,"c":123456789012345},)"
         R"({"a":9007199254740992,"b":-9007199254740992,"c":123456789012346}])",
         R"({"columns":["c"],"rows":[[123456789012345],[123456789012346]],)"
         R"("constants":{"a":9007199254740993,"b":-9007199254740993}})"},
        {"nested numbers of different forms are not", R"([{"v":{"a":1}},{"v":{"a":1.0}}])",
         R"({"columns":["v"],"rows":[[{"a":1}],[{"a":1.0}]],"constants":{}})"},
        {"containers of different sizes are not equal", R"([{"v":{"a":1}},{"v":{"a":1,"b":2}}])",
         R"({"columns":["v"],"rows":[[{"a":1}],[{"a":1,"b":2}]],"constants":{}})"},
        {"strings that look alike are not", R"([{"v":["a,b"]},{"v":["a","b"]}])",
         R"({"columns":["v"],"rows":[[["a,b"]],[["a","b"]]],"constants":{}})"},
        {"the first non-object element, quoted canonically",
         "[{\"a\":1}, [ \"x\\/\" , {\"k\":1,\"k\":2} ] , 3]",
         R"(error: expected a JSON object row, got: ["x/",{"k":2}])"},
        {"rows with nested values after a second non-object element",
         R"([[1],[2],{"a":{"b":[1,{"c":2}]}},[3]])", "error: expected a JSON object row, got: [1]"},
        {"a syntax error after the row error wins", R"([1,{"a":[}])",
         "error: invalid row-oriented JSON: expected value at line 1 column 10"},
    };
    for (const Row& r : rows) EXPECT_EQ(run(r.payload), r.expected) << r.name;
}

// Decimal literals are kept as they stand only when the writer would write
// their double the same way.
TEST(Rows, DecimalLiteralsInTheWrittenFormOnly) {
    const std::vector<std::pair<std::string, std::string>> table = {
        {"0.5", "0.5"},           {"1.50", "1.5"},        {"155.0", "155.0"},   {"155.00", "155.0"},
        {"150.0", "150.0"},       {"-150.0", "-150.0"},   {"0.00001", "0.00001"}, {"0.000012", "0.000012"},
        {"0.000001", "1e-6"},     {"0.0000120", "0.000012"}, {"-0.5", "-0.5"},  {"10.25", "10.25"},
        {"0.10", "0.1"},          {"3.0e0", "3.0"},       {"-0.0", "-0.0"},     {"1.0", "1.0"},
        {"12345678901.5", "12345678901.5"}, {"0.1234567890123456789012", "0.12345678901234568"},
    };
    for (const auto& [literal, written] : table) {
        EXPECT_EQ(run("[{\"v\":" + literal + "}]"), one_column(written)) << literal;
        EXPECT_EQ(run("[{\"v\":[" + literal + "]}]"), one_column("[" + written + "]")) << literal;
    }
}

// Repeated keys in nested objects of every size: below and above the size
// where repeats are found by an index instead of a scan.
TEST(Rows, RepeatedKeysInNestedObjectsOfEverySize) {
    for (int n : {3, 16, 17, 40, 300}) {
        std::vector<int> keys = range(n), twice = range(n);
        for (int i = 0; i < n; ++i) twice.push_back(i);
        twice.push_back(0);
        std::vector<std::string> values = numbers(n, 0), again = numbers(n, 1000);
        values.insert(values.end(), again.begin(), again.end());
        values.push_back("\"last\"");
        std::vector<std::string> merged = numbers(n, 1000);
        merged[0] = "\"last\"";
        EXPECT_EQ(run("[{\"v\":" + object(twice, values) + "}]"), one_column(object(keys, merged))) << n;
    }
}

// Objects that follow an earlier object's key order past the scanned size,
// then repeat a key; also after a nested object with the same first key
// replaced the order they started from.
TEST(Rows, RepeatedKeyAfterAnEarlierObjectsOrder) {
    for (int n : {5, 20, 40}) {
        const std::string first = object(range(n), numbers(n, 0));
        std::vector<int> keys = range(n);
        keys.push_back(n / 2);
        std::vector<std::string> values = numbers(n, 100);
        values.push_back("\"again\"");
        std::vector<std::string> merged = numbers(n, 100);
        merged[n / 2] = "\"again\"";
        EXPECT_EQ(run("[{\"v\":" + first + "},{\"v\":" + object(keys, values) + "}]"),
                  R"({"columns":["v"],"rows":[[)" + first + "],[" + object(range(n), merged) + R"(]],"constants":{}})")
            << n;
    }
    // The inner object starts with the same key as the outer one and holds
    // the repeated key at the position the outer object reaches next.
    const int n = 20;
    const std::string first = object(range(n), numbers(n, 0));
    std::vector<int> inner_keys = range(17);
    inner_keys.push_back(900);
    inner_keys.push_back(17);
    const std::string inner = object(inner_keys, numbers(19, 0));
    std::vector<int> outer_keys = range(18);
    outer_keys.push_back(17);
    std::vector<std::string> outer_values = numbers(17, 0);
    outer_values.push_back(inner);
    outer_values.push_back("\"again\"");
    std::vector<std::string> merged = numbers(17, 0);
    merged.push_back("\"again\"");
    EXPECT_EQ(run("[{\"v\":" + first + "},{\"v\":" + object(outer_keys, outer_values) + "}]"),
              R"({"columns":["v"],"rows":[[)" + first + "],[" + object(range(18), merged) + R"(]],"constants":{}})");
}

// Constants whose nested objects hold the same members in another order, at
// every size: equal, and the first row's order is kept.
TEST(Rows, ConstantsIgnoreMemberOrderAtEverySize) {
    for (int n : {2, 16, 17, 40}) {
        std::vector<int> reversed;
        for (int i = n - 1; i >= 0; --i) reversed.push_back(i);
        std::vector<std::string> reversed_values;
        for (int i = n - 1; i >= 0; --i) reversed_values.push_back(std::to_string(i));
        const std::string a = object(range(n), numbers(n, 0));
        const std::string b = object(reversed, reversed_values);
        EXPECT_EQ(run("[{\"v\":" + a + "},{\"v\":" + b + "}]"),
                  R"({"columns":[],"rows":[[],[]],"constants":{"v":)" + a + "}}")
            << n;
        // One value differs: no constant.
        reversed_values[0] = "-1";
        const std::string c = object(reversed, reversed_values);
        EXPECT_EQ(run("[{\"v\":" + a + "},{\"v\":" + c + "}]"),
                  R"({"columns":["v"],"rows":[[)" + a + "],[" + c + R"(]],"constants":{}})")
            << n;
    }
}

// Rows holding a few of many keys, or most of them, in their own orders:
// each cell lands in its key's column and every other cell is null,
// including runs of nulls at either end of a row and rows with no columns.
TEST(Rows, KeysInEveryOrderLandInTheirColumns) {
    struct Case {
        int keys;      // distinct keys in the table
        int per_row;   // keys in each row
        bool shuffle;  // each row's own order, else the columns' order
    };
    const Case cases[] = {
        {200, 15, true}, {200, 15, false}, {40, 1, true}, {64, 63, true},
        {64, 64, true},  {9, 9, false},    {30, 4, true}, {300, 40, true},
    };
    std::mt19937 random(20261209);
    for (const Case& c : cases) {
        std::vector<std::vector<int>> rows;
        for (int r = 0; r < 60; ++r) {
            std::vector<int> keys = range(c.keys);
            std::shuffle(keys.begin(), keys.end(), random);
            keys.resize(static_cast<std::size_t>(c.per_row));
            if (!c.shuffle) std::sort(keys.begin(), keys.end());
            rows.push_back(keys);
        }
        rows.push_back({});  // a row with no columns at all
        // Every key's first row holds it at the columns' order, so the
        // columns are the keys in order of first appearance.
        std::vector<int> columns;
        for (const auto& keys : rows)
            for (int k : keys)
                if (std::find(columns.begin(), columns.end(), k) == columns.end()) columns.push_back(k);
        std::string payload = "[", expected = R"({"columns":[)";
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (i != 0) expected += ',';
            expected += key(columns[i]);
        }
        expected += R"(],"rows":[)";
        for (std::size_t r = 0; r < rows.size(); ++r) {
            std::vector<std::string> values;
            for (int k : rows[r]) values.push_back(std::to_string(r * 1000 + static_cast<std::size_t>(k)));
            if (r != 0) payload += ',';
            payload += object(rows[r], values);
            expected += r != 0 ? ",[" : "[";
            for (std::size_t i = 0; i < columns.size(); ++i) {
                const auto at = std::find(rows[r].begin(), rows[r].end(), columns[i]);
                expected += i != 0 ? "," : "";
                expected += at == rows[r].end() ? "null" : values[static_cast<std::size_t>(at - rows[r].begin())];
            }
            expected += "]";
        }
        expected += R"(],"constants":{}})";
        EXPECT_EQ(run(payload + "]"), expected) << c.keys << " keys, " << c.per_row << " per row";
    }
}

// A nested value is read whole, into its compact text, unless an object
// repeats a key. Whatever it holds, the result must be the one the full
// read gives: the same value under a repeated key, which makes the
// enclosing object take the full read.
TEST(Rows, NestedValuesReadWholeAsByTheFullRead) {
    const char* keys[] = {"a", "b", "ab", "ba", "axb", "ayb", "\\u0061", "a\\/", "\\n", "\xC3\xA9", "\xC3"};
    const char* scalars[] = {
        "0", "-0", "7", "-12", "1.0", "1.50", "0.5", "-2.5", "0.000001", "3.0e0", "1E2", "1e-7",
        "123456789012345678901", "-9223372036854775809", "18446744073709551615", "0.1234567890123456789012",
        "\"x\"", "\"\\n\\\"\\\\\\t\\b\\f\\r\"", "\"a\\/b\"", "\"\\u00e9\"", "\"\\u001f\"", "\"\\u001F\"",
        "\"\\ud83d\\ude00\"", "\"\\ud800\"", "\"\xC3\xA9\"", "\"\xF0\x9F\x98\x80\"", "\"\xC3\"", "\"\xED\xA0\x80\"",
        "\"\x01\"", "\"\\x\"", "true", "false", "null", "nul", "01", "1.", "-",
    };
    const char* gaps[] = {"", "", "", "", " ", "\n  ", "\t", "\r\n", "\x0B"};
    std::mt19937 random(7);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    auto value = [&](auto& self, int depth, std::string& text) -> void {
        text += gaps[pick(std::size(gaps))];
        const std::size_t kind = depth >= 4 ? 2 : pick(5);
        if (kind >= 2) {
            text += scalars[pick(std::size(scalars))];
        } else {
            const bool object = kind == 0;
            text += object ? "{" : "[";
            const std::size_t n = pick(5);
            for (std::size_t i = 0; i < n; ++i) {
                if (i != 0) text += ",";
                if (object) text += std::string(gaps[pick(std::size(gaps))]) + "\"" + keys[pick(std::size(keys))] + "\"" + gaps[pick(std::size(gaps))] + ":";
                self(self, depth + 1, text);
            }
            text += gaps[pick(std::size(gaps))];
            text += object ? "}" : "]";
        }
        text += gaps[pick(std::size(gaps))];
    };
    // Error texts differ only in their column.
    auto without_column = [](const std::string& r) { return r.substr(0, r.find(" at line")); };
    int valid = 0;
    for (int i = 0; i < 4000; ++i) {
        std::string v;
        value(value, 0, v);
        const std::string whole = "[{\"v\":{\"z\":" + v + "},\"w\":1}]";
        const std::string full = "[{\"v\":{\"z\":0,\"z\":" + v + "},\"w\":1}]";
        const std::string a = run(whole), b = run(full);
        if (b.rfind("error", 0) == 0) {
            EXPECT_EQ(without_column(a), without_column(b)) << whole;
        } else {
            EXPECT_EQ(a, b) << whole;
            ++valid;
        }
    }
    // Enough of them were valid for this to test the written texts.
    EXPECT_GT(valid, 1000);
}

// Short texts are copied in fixed-size moves that read past their end, so
// the last cells of a payload must take the exact copy: with the payload
// ending where an unreadable page begins, a read past it ends the test.
TEST(Rows, CellsAtTheVeryEndOfThePayload) {
    std::size_t page = 0;
    char* pages = guarded_pages(page);
    ASSERT_NE(pages, nullptr);
    std::vector<std::string> payloads = {
        R"([{"a":1,"b":"x"},{"a":2,"b":"y"}])",
        R"([{"a":true,"b":0},{"a":null,"b":1}])",
        R"([{"a":1},{"b":2},{"c":"z"}])",
        R"([{"k":"0123456789abcdef"},{"k":-1.5}])",
        R"([{"v":[1,2]},{"v":{"w":3}}])",
        "[{\"a\":1} , {\"a\":2}\n]",
        // The last cell starts 15 bytes before the end: one byte short of a 16-byte move.
        R"([{"k":1},{"k":"abcdefghijk"}])",
    };
    // A pretty-printed nested cell whose last run before whitespace is 20
    // to 34 bytes long and starts 24 to 38 bytes before the end: across
    // both bounds of the 32-byte move.
    std::vector<std::string> known(payloads.size());
    for (int n = 18; n <= 32; ++n) {
        const std::string text = "\"" + std::string(n, 'a') + "\"";
        payloads.push_back(R"([{"v":[1, )" + text + " ]}]");
        known.push_back(R"({"columns":["v"],"rows":[[[1,)" + text + R"(]]],"constants":{}})");
    }
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        const std::string& payload = payloads[i];
        const std::string expected = run(payload);
        if (!known[i].empty()) {
            EXPECT_EQ(expected, known[i]);
        }
        ASSERT_EQ(expected.rfind("error", 0), std::string::npos) << payload;
        char* at = pages + page - payload.size();
        std::memcpy(at, payload.data(), payload.size());
        auto r = tessik::transform::columnarize_json(std::string_view(at, payload.size()));
        ASSERT_TRUE(r) << payload;
        EXPECT_EQ(r.value().view(), expected) << payload;
    }
    release_pages(pages, page);
}

// Each key is first compared, with its closing quote, to the key the row
// before had at its position: keys that extend or shorten it, or write it
// with other escapes, are keys of their own or the same one as before, and
// a payload that ends inside or just after one (where an unreadable page
// begins) is a fault at the same place as ever.
TEST(Rows, KeysComparedWithTheRowBefore) {
    const std::pair<std::string, std::string> table[] = {
        {R"([{"ab":1,"c":2},{"abc":1,"c":2},{"a":1,"c":2},{"ab":3,"c":2}])",
         R"({"columns":["ab","abc","a"],"rows":[[1,null,null],[null,1,null],[null,null,1],[3,null,null]],"constants":{"c":2}})"},
        {R"([{"a\"b":1},{"a\"b":2},{"a\"bc":3}])",
         R"({"columns":["a\"b","a\"bc"],"rows":[[1,null],[2,null],[null,3]],"constants":{}})"},
        {R"([{"\u0061":1},{"\u0061":2},{"a":3},{"a\u0062":4}])",
         R"({"columns":["a","ab"],"rows":[[1,null],[2,null],[3,null],[null,4]],"constants":{}})"},
        {R"([{"ab":1,"ab":2},{"ab":3,"ab":4}])", R"({"columns":["ab"],"rows":[[2],[4]],"constants":{}})"},
        // Members of a nested object, and of an element after the rows, are not the rows' keys.
        {R"([{"a":1,"b":2},{"a":{"b":1,"b":2},"b":3}])", R"({"columns":["a","b"],"rows":[[1,2],[{"b":2},3]],"constants":{}})"},
        {R"([{"a":1,"b":2},{"a":1,"b":2},{"a":1},[{"b":5}]])", R"(error: expected a JSON object row, got: [{"b":5}])"},
        {R"([{"ab":1},{"ab)", "error: invalid row-oriented JSON: EOF while parsing a string at line 1 column 14"},
        {R"([{"ab":1},{"ab")", "error: invalid row-oriented JSON: EOF while parsing an object at line 1 column 15"},
        {R"([{"ab":1},{"a)", "error: invalid row-oriented JSON: EOF while parsing a string at line 1 column 13"},
        {R"([{"ab":1},{"ab"1}])", "error: invalid row-oriented JSON: expected `:` at line 1 column 16"},
    };
    std::size_t page = 0;
    char* pages = guarded_pages(page);
    ASSERT_NE(pages, nullptr);
    for (const auto& [payload, expected] : table) {
        char* at = pages + page - payload.size();
        std::memcpy(at, payload.data(), payload.size());
        auto r = tessik::transform::columnarize_json(std::string_view(at, payload.size()));
        EXPECT_EQ(r ? std::string(r.value().view()) : "error: " + r.error(), expected) << payload;
    }
    release_pages(pages, page);
}

// "[]" has a document of its own without reading rows: every other spelling
// of an empty array must give the same, and the text around one its error.
TEST(Rows, EmptyArrayInAnySpelling) {
    const std::string empty = R"({"columns":[],"rows":[],"constants":{}})";
    const std::pair<const char*, std::string> table[] = {
        {"[]", empty},
        {"[ ]", empty},
        {" []", empty},
        {"[]\n", empty},
        {"\t[\r\n]", empty},
        {"[]]", "error: invalid row-oriented JSON: trailing characters at line 1 column 3"},
        {"[],", "error: invalid row-oriented JSON: trailing characters at line 1 column 3"},
        {"[", "error: invalid row-oriented JSON: EOF while parsing a list at line 1 column 1"},
        {"[{}]", R"({"columns":[],"rows":[[]],"constants":{}})"},
    };
    for (const auto& [payload, expected] : table) EXPECT_EQ(run(payload), expected) << payload;
}

// The writer gives the cells behind it back in 2 MiB chunks (131,072 cells
// of 16 bytes) every 1,024 rows. Rows of 1,151 cells put the edge of the
// ninth chunk inside row 1,024, where it does so: the row's own cells must
// survive.
TEST(Rows, CellsGivenBackOnlyBehindTheRowBeingWritten) {
    constexpr std::size_t width = 1151, rows = 1030, chunk_cells = (std::size_t{2} << 20) / 16;
    static_assert(1024 * width < 9 * chunk_cells && 9 * chunk_cells < 1025 * width);
    std::string payload = "[", expected = R"({"columns":[)";
    for (std::size_t c = 0; c < width; ++c) {
        if (c != 0) expected += ',';
        expected += key(static_cast<int>(c));
    }
    expected += R"(],"rows":[)";
    for (std::size_t r = 0; r < rows; ++r) {
        const std::string value = std::to_string(r);
        payload += r != 0 ? ",{" : "{";
        expected += r != 0 ? ",[" : "[";
        for (std::size_t c = 0; c < width; ++c) {
            if (c != 0) {
                payload += ',';
                expected += ',';
            }
            payload += key(static_cast<int>(c));
            payload += ':';
            payload += value;
            expected += value;
        }
        payload += '}';
        expected += ']';
    }
    payload += ']';
    expected += R"(],"constants":{}})";
    const std::string out = run(payload);
    ASSERT_EQ(out.size(), expected.size());
    const auto differ = std::mismatch(out.begin(), out.end(), expected.begin());
    EXPECT_TRUE(differ.first == out.end()) << "first difference at byte " << (differ.first - out.begin());
}
