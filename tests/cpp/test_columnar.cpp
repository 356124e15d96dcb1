#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/writer.hpp"
#include "transform/columnar.hpp"

using namespace tessik::json;
using tessik::transform::columnarize_rows;

namespace {

// A tiny builder so the tables below read like the JSON they stand for.
Value u(std::uint64_t n) { return Value::from_u64(n); }
Value d(double x) { return Value::from_double(x); }
Value s(const char* t) { return Value(String(t)); }
Value arr(std::vector<Value> items) { return Value(Array(std::move(items))); }
Value obj(std::vector<std::pair<std::string, Value>> members) {
    Map m;
    for (auto& [k, v] : members) m.insert_full(k, std::move(v));
    return Value(std::move(m));
}

std::string run(std::vector<Value> rows) {
    auto result = columnarize_rows(std::move(rows));
    if (!result) return "error: " + result.error();
    Buffer out;
    write_to_buffer(result.value(), out);
    return std::string(out.view());
}

}  // namespace

TEST(Columnarize, EdgeCases) {
    const std::uint64_t two53 = std::uint64_t(1) << 53;
    struct Row {
        const char* name;
        std::vector<Value> rows;
        std::string expected;
    };
    std::vector<Row> table;
    table.push_back({"no rows", {}, R"({"columns":[],"rows":[],"constants":{}})"});
    table.push_back({"empty rows", {obj({}), obj({})}, R"({"columns":[],"rows":[[],[]],"constants":{}})"});
    table.push_back({"one row never splits into constants", {obj({{"a", u(1)}, {"b", Value()}})},
                     R"({"columns":["a"],"rows":[[1]],"constants":{}})"});
    table.push_back({"two equal rows", {obj({{"a", u(1)}}), obj({{"a", u(1)}})},
                     R"({"columns":[],"rows":[[],[]],"constants":{"a":1}})"});
    table.push_back({"absent and null cells are null",
                     {obj({{"a", u(1)}, {"b", Value()}}), obj({{"a", u(2)}}), obj({{"b", u(3)}})},
                     R"({"columns":["a","b"],"rows":[[1,null],[2,null],[null,3]],"constants":{}})"});
    // The empty row's key list starts where the next row's does.
    table.push_back({"an empty row, then rows of other keys", {obj({}), obj({{"a", u(1)}}), obj({{"b", u(2)}})},
                     R"({"columns":["a","b"],"rows":[[null,null],[1,null],[null,2]],"constants":{}})"});
    table.push_back({"first occurrence order", {obj({{"b", u(1)}, {"a", u(2)}}), obj({{"c", u(3)}, {"a", u(4)}})},
                     R"({"columns":["b","a","c"],"rows":[[1,2,null],[null,4,3]],"constants":{}})"});
    table.push_back({"absent from the first row is never constant", {obj({}), obj({{"a", u(1)}}), obj({{"a", u(1)}})},
                     R"({"columns":["a"],"rows":[[null],[1],[1]],"constants":{}})"});
    table.push_back({"number forms match by value", {obj({{"v", u(1)}}), obj({{"v", d(1.0)}})},
                     R"({"columns":[],"rows":[[],[]],"constants":{"v":1}})"});
    table.push_back({"swapped: the constant is the double", {obj({{"v", d(1.0)}}), obj({{"v", u(1)}})},
                     R"({"columns":[],"rows":[[],[]],"constants":{"v":1.0}})"});
    table.push_back({"zero and negative zero match", {obj({{"v", d(-0.0)}}), obj({{"v", u(0)}})},
                     R"({"columns":[],"rows":[[],[]],"constants":{"v":-0.0}})"});
    table.push_back({"zero and negative zero as doubles match", {obj({{"v", d(0.0)}}), obj({{"v", d(-0.0)}})},
                     R"({"columns":[],"rows":[[],[]],"constants":{"v":0.0}})"});
    table.push_back({"doubles of different digits differ", {obj({{"v", d(0.5)}}), obj({{"v", d(5.0)}})},
                     R"({"columns":["v"],"rows":[[0.5],[5.0]],"constants":{}})"});
    table.push_back({"integers equal as doubles", {obj({{"v", u(two53 + 1)}}), obj({{"v", u(two53)}})},
                     R"({"columns":[],"rows":[[],[]],"constants":{"v":9007199254740993}})"});
    table.push_back({"nested numbers match by form", {obj({{"v", arr({u(1)})}}), obj({{"v", arr({d(1.0)})}})},
                     R"({"columns":["v"],"rows":[[[1]],[[1.0]]],"constants":{}})"});
    table.push_back({"a nested zero against another number", {obj({{"v", arr({d(0.0)})}}), obj({{"v", arr({d(1.5)})}})},
                     R"({"columns":["v"],"rows":[[[0.0]],[[1.5]]],"constants":{}})"});
    // Written "1e+22" and "1e+19": compared by value, not by their leading digit.
    table.push_back({"a double with an exponent is not its leading digit", {obj({{"v", d(1e22)}}), obj({{"v", u(1)}})},
                     R"({"columns":["v"],"rows":[[1e+22],[1]],"constants":{}})"});
    table.push_back({"1e19 equals the integer 10^19",
                     {obj({{"v", d(1e19)}}), obj({{"v", u(10000000000000000000ull)}})},
                     R"({"columns":[],"rows":[[],[]],"constants":{"v":1e+19}})"});
    table.push_back({"a number never matches a string", {obj({{"v", s("0")}}), obj({{"v", u(0)}})},
                     R"({"columns":["v"],"rows":[["0"],[0]],"constants":{}})"});
    table.push_back({"objects match regardless of key order",
                     {obj({{"o", obj({{"x", u(1)}, {"y", u(2)}})}}), obj({{"o", obj({{"y", u(2)}, {"x", u(1)}})}})},
                     R"({"columns":[],"rows":[[],[]],"constants":{"o":{"x":1,"y":2}}})"});
    table.push_back({"strings and bools", {obj({{"s", s("a")}, {"b", Value(true)}}), obj({{"s", s("b")}, {"b", Value(true)}})},
                     R"({"columns":["s"],"rows":[["a"],["b"]],"constants":{"b":true}})"});
    table.push_back({"null everywhere is dropped with two rows",
                     {obj({{"n", Value()}, {"a", u(1)}}), obj({{"a", u(2)}})},
                     R"({"columns":["a"],"rows":[[1],[2]],"constants":{}})"});
    table.push_back({"keys in other orders across rows",
                     {obj({{"a", u(1)}, {"b", u(2)}}), obj({{"b", u(3)}, {"a", u(4)}}), obj({{"b", u(5)}})},
                     R"({"columns":["a","b"],"rows":[[1,2],[4,3],[null,5]],"constants":{}})"});
    table.push_back({"row error names the first non-object", {u(1)}, "error: expected a JSON object row, got: 1"});
    table.push_back({"row error shows arrays in full", {obj({{"a", u(1)}}), arr({u(2), u(3)}), Value()},
                     "error: expected a JSON object row, got: [2,3]"});
    table.push_back({"row error for null", {Value()}, "error: expected a JSON object row, got: null"});
    table.push_back({"row error for a string", {s("x")}, "error: expected a JSON object row, got: \"x\""});
    for (Row& r : table) EXPECT_EQ(run(std::move(r.rows)), r.expected) << r.name;
}

TEST(Columnarize, WorkedExample) {
    std::vector<Value> rows;
    rows.push_back(obj({{"id", u(1)}, {"tag", s("a")}, {"unit", s("kg")}, {"note", Value()}}));
    rows.push_back(obj({{"id", u(2)}, {"unit", s("kg")}, {"tag", s("b")}}));
    rows.push_back(obj({{"id", u(3)}, {"tag", s("a")}, {"unit", s("kg")}, {"extra", Value()}}));
    EXPECT_EQ(run(std::move(rows)),
              R"({"columns":["id","tag"],"rows":[[1,"a"],[2,"b"],[3,"a"]],"constants":{"unit":"kg"}})");
}

// Many rows with many distinct keys: every row gets as many cells as there
// are columns, and each cell is the row's own value.
TEST(Columnarize, WideSparseTable) {
    const int n = 2000;
    std::vector<Value> rows;
    for (int i = 0; i < n; ++i) {
        std::string key = std::to_string(i);
        key.insert(key.begin(), 'k');
        rows.push_back(obj({{key, u(static_cast<std::uint64_t>(i))}, {"id", u(static_cast<std::uint64_t>(i))}}));
    }
    auto result = columnarize_rows(std::move(rows));
    ASSERT_TRUE(result.is_ok());
    const Map& doc = result.value().as_object();
    const Array& columns = doc.get("columns")->as_array();
    const Array& out_rows = doc.get("rows")->as_array();
    ASSERT_EQ(columns.size(), static_cast<std::size_t>(n + 1));
    EXPECT_EQ(columns[0].as_string(), "k0");
    EXPECT_EQ(columns[1].as_string(), "id");
    ASSERT_EQ(out_rows.size(), static_cast<std::size_t>(n));
    for (int i = 0; i < n; i += 97) {
        const Array& cells = out_rows[static_cast<std::size_t>(i)].as_array();
        ASSERT_EQ(cells.size(), columns.size());
        const std::size_t col = i == 0 ? 0 : static_cast<std::size_t>(i) + 1;
        EXPECT_EQ(cells[col], u(static_cast<std::uint64_t>(i))) << i;
        EXPECT_EQ(cells[1], u(static_cast<std::uint64_t>(i))) << i;
        std::size_t nulls = 0;
        for (const Value& c : cells) nulls += c.is_null();
        EXPECT_EQ(nulls, columns.size() - 2) << i;
    }
}
