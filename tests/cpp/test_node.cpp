#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "json/node.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"
#include "transform/columnar.hpp"

using namespace tessik::json;

namespace {

// Texts read into one arena, kept alive as long as the nodes that view them.
struct Texts {
    Arena arena;
    std::deque<std::string> kept;
    // The first element of a one-element array.
    Node read_one(std::string text) {
        const std::string& held = kept.emplace_back(std::move(text));
        auto r = read_top_level_array(held, arena);
        EXPECT_TRUE(r.is_ok()) << held;
        EXPECT_EQ(r.value().size(), 1u) << held;
        return r.value()[0];
    }
};

// Built by appending: g++ 12 warns falsely on literal + std::to_string.
std::string name(const char* prefix, int n) {
    std::string key(prefix);
    key += std::to_string(n);
    return key;
}

std::string written(const Node& n) {
    Buffer out;
    write_to_buffer(n, out);
    return std::string(out.view());
}

std::string keys_of(const Node& object) {
    std::string keys;
    for (std::size_t i = 0; i < object.size(); ++i) keys += std::string(object.members()[i].key_view()) + ",";
    return keys;
}

// An object of n members "k0".."k{n-1}" in the given order of indices.
std::string object_text(const std::vector<int>& order) {
    std::string text = "[{";
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i != 0) text += ',';
        text += name("\"k", order[i]) + "\":" + std::to_string(order[i]);
    }
    return text + "}]";
}

}  // namespace

TEST(Node, IsSixteenBytes) { EXPECT_EQ(sizeof(Node), 16u); }

TEST(Node, RepeatedKeysKeepFirstPositionAndLastValue) {
    // Below and above the size where the reader switches from a scan to an
    // index.
    for (int n : {3, 16, 17, 40, 300}) {
        std::string text = "[{";
        for (int i = 0; i < n; ++i) text += name("\"k", i) + "\":" + std::to_string(i) + ",";
        // Every key again, with new values, then the first once more.
        for (int i = 0; i < n; ++i) text += name("\"k", i) + "\":" + std::to_string(1000 + i) + ",";
        text += "\"k0\":\"last\"}]";
        Texts texts;
        const Node o = texts.read_one(text);
        ASSERT_EQ(o.size(), static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(o.members()[i].key_view(), name("k", i));
            EXPECT_EQ(written(o.members()[i].value), i == 0 ? "\"last\"" : std::to_string(1000 + i));
        }
    }
}

// An object that follows an earlier object's key order past the size where
// the reader switches to an index, then repeats a key.
TEST(Node, RepeatedKeyAfterAnEarlierObjectsOrder) {
    for (int n : {5, 20, 40}) {
        std::string keys;
        for (int i = 0; i < n; ++i) keys += name("\"k", i) + "\":" + std::to_string(i) + ",";
        const std::string text = "[{" + keys + "\"end\":0},{" + keys + name("\"k", n / 2) + "\":\"again\"}]";
        Texts texts;
        auto r = read_top_level_array(texts.kept.emplace_back(text), texts.arena);
        ASSERT_TRUE(r.is_ok()) << text;
        const Node o = r.value()[1];
        ASSERT_EQ(o.size(), static_cast<std::size_t>(n)) << n;
        EXPECT_EQ(o.members()[n / 2].key_view(), name("k", n / 2));
        EXPECT_EQ(written(o.members()[n / 2].value), "\"again\"") << n;
    }
}

// The same after a nested object with the same first key has replaced the
// order the outer object started from.
TEST(Node, RepeatedKeyAfterANestedObjectReplacedTheOrder) {
    Texts texts;
    const std::string text = R"([{"a":0,"b":0,"c":0},{"a":0,"b":1,"b":{"a":0,"x":0,"b":0}}])";
    auto r = read_top_level_array(texts.kept.emplace_back(text), texts.arena);
    ASSERT_TRUE(r.is_ok());
    EXPECT_EQ(keys_of(r.value()[1]), "a,b,");
    EXPECT_EQ(written(r.value()[1]), R"({"a":0,"b":{"a":0,"x":0,"b":0}})");
}

TEST(Node, EqualityIgnoresMemberOrderAtEverySize) {
    for (int n : {1, 2, 16, 17, 64}) {
        std::vector<int> forward, backward;
        for (int i = 0; i < n; ++i) {
            forward.push_back(i);
            backward.push_back(n - 1 - i);
        }
        Texts texts;
        const Node a = texts.read_one(object_text(forward));
        const Node b = texts.read_one(object_text(backward));
        EXPECT_TRUE(a == b) << n;
        EXPECT_EQ(b.members()[0].key_view(), name("k", n - 1)) << "key order is kept";
        // One value different, one key different: unequal.
        std::vector<int> other = backward;
        other[0] = n;  // key "k{n}" instead of "k{n-1}"
        EXPECT_FALSE(a == texts.read_one(object_text(other))) << n;
        std::string changed = object_text(backward);
        changed.replace(changed.rfind(':') + 1, std::string::npos, "-1}]");
        EXPECT_FALSE(a == texts.read_one(changed)) << n;
    }
}

TEST(Node, EqualityRulesMatchValues) {
    Texts texts;
    auto eq = [&](const char* x, const char* y) {
        return texts.read_one(std::string("[") + x + "]") == texts.read_one(std::string("[") + y + "]");
    };
    EXPECT_TRUE(eq("1", "1"));
    EXPECT_FALSE(eq("1", "1.0"));  // forms differ
    EXPECT_FALSE(eq("-1", "1"));
    EXPECT_TRUE(eq("0.5", "5e-1"));
    EXPECT_TRUE(eq("\"a\\u0062\"", "\"ab\""));  // escaped and plain text alike
    EXPECT_FALSE(eq("[1,2]", "[2,1]"));         // arrays keep order
    EXPECT_FALSE(eq("null", "false"));
    EXPECT_TRUE(eq("{\"a\":[{\"b\":1,\"c\":2}]}", "{\"a\":[{\"c\":2,\"b\":1}]}"));
    // Numbers match across forms only in the transform's cell rule.
    const Node one = texts.read_one("[1]");
    const Node one_double = texts.read_one("[1.0]");
    EXPECT_TRUE(tessik::transform::values_match(one, one_double));
    EXPECT_FALSE(tessik::transform::values_match(texts.read_one("[[1]]"), texts.read_one("[[1.0]]")));
}

TEST(Node, StringsViewTheInputOnlyWithoutEscapes) {
    const std::string text = R"(["plain \u00e9 text", "line\nfeed", "caf\u00e9", "caf)" "\xC3\xA9" R"("])";
    Arena arena;
    auto r = read_top_level_array(text, arena);
    ASSERT_TRUE(r.is_ok());
    const auto& e = r.value();
    EXPECT_FALSE(e[0].is_plain());
    EXPECT_FALSE(e[1].is_plain());
    EXPECT_TRUE(e[3].is_plain());
    EXPECT_GE(e[3].as_string().data(), text.data());
    EXPECT_LT(e[3].as_string().data(), text.data() + text.size());
    EXPECT_EQ(e[1].as_string(), "line\nfeed");
    // Written text is the same either way.
    EXPECT_EQ(written(e[1]), R"("line\nfeed")");
    EXPECT_EQ(written(e[2]), written(e[3]));
}

TEST(Node, ConvertsToAndFromOwnedValues) {
    const std::string text = R"([{"b":[1,-2,0.5,"x\"y",true,null],"a":{"z":{},"y":[]},"c":""}])";
    Texts texts;
    const Node n = texts.read_one(text);
    const Value owned = to_value(n);
    {
        // The owned copy shares nothing with the arena.
        Arena other;
        const Node again = to_node(owned, other);
        EXPECT_TRUE(again == n);
        EXPECT_EQ(written(again), written(n));
    }
    Buffer out;
    write_to_buffer(owned, out);
    EXPECT_EQ(std::string(out.view()), written(n));
    EXPECT_EQ(keys_of(n), "b,a,c,");
}

TEST(Arena, GrowsAcrossBlocksAndKeepsEarlierBytes) {
    Arena arena(100);
    std::vector<std::pair<const Node*, std::size_t>> runs;
    for (std::size_t n = 1; n < 5000; n *= 3) {
        std::vector<Node> items(n, Node::boolean(true));
        items.back() = Node::boolean(false);
        runs.emplace_back(arena.copy(items.data(), n), n);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(runs.back().first) % 8, 0u);
    }
    for (const auto& [p, n] : runs) {
        for (std::size_t i = 0; i + 1 < n; ++i) EXPECT_TRUE(p[i].as_bool());
        EXPECT_FALSE(p[n - 1].as_bool());
    }
    EXPECT_EQ(arena.copy<Node>(nullptr, 0), nullptr);
}

TEST(Member, KeysOfEveryLengthSurviveValueReplacement) {
    // Around the length where a key moves out of the tag word.
    for (std::size_t n : {0u, 1u, 65534u, 65535u, 65536u, 70000u}) {
        const std::string key(n, 'k');
        const std::string other(n + 1, 'k');
        Texts texts;
        const Node o = texts.read_one("[{\"" + key + "\":[1,2],\"" + other + "\":\"x\",\"" + key + "\":{\"a\":null}}]");
        ASSERT_EQ(o.size(), 2u) << n;
        EXPECT_EQ(o.members()[0].key_view(), key) << n;
        EXPECT_EQ(o.members()[1].key_view(), other) << n;
        EXPECT_EQ(written(o.members()[0].value), "{\"a\":null}") << n;
        EXPECT_EQ(o.members()[0].value.size(), 1u) << n;
        EXPECT_EQ(written(o.members()[1].value), "\"x\"") << n;
        // The same through an owned copy and back.
        Arena arena;
        const Value owned = to_value(o);  // viewed by the node below
        const Node again = to_node(owned, arena);
        EXPECT_TRUE(again == o) << n;
        EXPECT_EQ(again.members()[1].key_view(), other) << n;
    }
}

TEST(Member, IsTwentyFourBytes) { EXPECT_EQ(sizeof(Member), 24u); }
