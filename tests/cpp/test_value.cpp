#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <limits>
#include <string>

#include "json/key_index.hpp"
#include "json/value.hpp"

using namespace tessik::json;

namespace {

Value obj(std::initializer_list<std::pair<const char*, Value>> members) {
    Map m;
    for (const auto& [k, v] : members) m.insert_full(k, v);
    return Value(std::move(m));
}

// Built by appending: g++ 12 warns falsely on literal + std::to_string.
std::string key_name(const char* prefix, unsigned long n) {
    std::string key(prefix);
    key += std::to_string(n);
    return key;
}

std::vector<std::string> keys_of(const Map& m) {
    std::vector<std::string> keys;
    for (const Bucket& b : m) keys.push_back(b.key);
    return keys;
}

}  // namespace

TEST(Number, FormsFollowTheInvariants) {
    EXPECT_EQ(Number::from_i64(0).form(), Number::Form::Unsigned);
    EXPECT_EQ(Number::from_i64(5).form(), Number::Form::Unsigned);
    EXPECT_EQ(Number::from_i64(-1).form(), Number::Form::Negative);
    EXPECT_EQ(Number::from_i64(std::numeric_limits<std::int64_t>::min()).as_i64(),
              std::numeric_limits<std::int64_t>::min());
    EXPECT_FALSE(Number::from_double(std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(Number::from_double(-std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(Number::from_double(std::nan("")));
    EXPECT_TRUE(Value::from_double(std::numeric_limits<double>::infinity()).is_null());
    EXPECT_EQ(Value::from_double(1.5).kind(), Value::Kind::Number);
}

TEST(Number, ToDoubleRoundsToNearestEven) {
    const std::uint64_t two53 = std::uint64_t(1) << 53;
    EXPECT_EQ(Number::from_u64(two53 + 1).to_double(), 9007199254740992.0);
    EXPECT_EQ(Number::from_u64(two53 + 3).to_double(), 9007199254740996.0);
    EXPECT_EQ(Number::from_u64(UINT64_MAX).to_double(), 18446744073709551616.0);
    EXPECT_EQ(Number::from_i64(-7).to_double(), -7.0);
}

TEST(Value, EqualityTable) {
    struct Row {
        const char* name;
        Value a, b;
        bool equal;
    };
    const Row rows[] = {
        {"unsigned 1 vs double 1.0", Value::from_u64(1), Value::from_double(1.0), false},
        {"0.0 vs -0.0", Value::from_double(0.0), Value::from_double(-0.0), true},
        {"negative vs negative", Value::from_i64(-3), Value::from_i64(-3), true},
        {"null vs false", Value(), Value(false), false},
        {"strings by bytes", Value(String("a")), Value(String("a")), true},
        {"precomposed vs decomposed", Value(String("\xC3\xA9")), Value(String("e\xCC\x81")), false},
        {"objects ignore key order", obj({{"a", Value::from_u64(1)}, {"b", Value::from_u64(2)}}),
         obj({{"b", Value::from_u64(2)}, {"a", Value::from_u64(1)}}), true},
        {"objects differ in a value", obj({{"a", Value::from_u64(1)}, {"b", Value::from_u64(2)}}),
         obj({{"a", Value::from_u64(1)}, {"b", Value::from_u64(3)}}), false},
        {"objects differ in size", obj({{"a", Value::from_u64(1)}}),
         obj({{"a", Value::from_u64(1)}, {"b", Value()}}), false},
        {"arrays keep order", Value(Array{Value::from_u64(1), Value::from_u64(2)}),
         Value(Array{Value::from_u64(2), Value::from_u64(1)}), false},
        {"nested forms differ", Value(Array{Value::from_u64(1)}), Value(Array{Value::from_double(1.0)}), false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.a == r.b, r.equal) << r.name;
        EXPECT_EQ(r.b == r.a, r.equal) << r.name << " (swapped)";
    }
}

TEST(Map, GetOnEmptyAndOneEntryMaps) {
    Map m;
    EXPECT_EQ(m.get("a"), nullptr);
    m.insert_full("ab", Value(true));
    EXPECT_EQ(m.get("ac"), nullptr);  // same length, other bytes
    EXPECT_EQ(m.get("a"), nullptr);
    ASSERT_NE(m.get("ab"), nullptr);
    EXPECT_TRUE(m.get("ab")->as_bool());
}

TEST(Map, InsertKeepsFirstPositionAndLastValue) {
    Map m;
    auto first = m.insert_full("a", Value::from_u64(1));
    EXPECT_EQ(first.position, 0u);
    EXPECT_FALSE(first.previous);
    EXPECT_EQ(m.insert_full("b", Value::from_u64(2)).position, 1u);
    auto again = m.insert_full("a", Value::from_u64(3));
    EXPECT_EQ(again.position, 0u);
    ASSERT_TRUE(again.previous);
    EXPECT_EQ(*again.previous, Value::from_u64(1));
    EXPECT_EQ(keys_of(m), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(*m.get("a"), Value::from_u64(3));
}

TEST(Map, EmptyKeyAndKeysWithZeroBytes) {
    Map m;
    m.insert_full("", Value::from_u64(1));
    m.insert_full(std::string("\0a", 2), Value::from_u64(2));
    m.insert_full(std::string("\0", 1), Value::from_u64(3));
    EXPECT_EQ(*m.get(""), Value::from_u64(1));
    EXPECT_EQ(*m.get(std::string_view("\0a", 2)), Value::from_u64(2));
    EXPECT_EQ(*m.get(std::string_view("\0", 1)), Value::from_u64(3));
    EXPECT_EQ(m.size(), 3u);
}

TEST(Map, ManyKeysStayFoundInOrder) {
    Map m;
    const int n = 50000;
    for (int i = 0; i < n; ++i) m.insert_full(key_name("key", static_cast<unsigned long>(i)), Value::from_i64(i));
    ASSERT_EQ(m.size(), static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const Value* v = m.get(key_name("key", static_cast<unsigned long>(i)));
        ASSERT_NE(v, nullptr) << i;
        ASSERT_EQ(*v, Value::from_i64(i)) << i;
        ASSERT_EQ(m.entry(static_cast<std::size_t>(i)).key, key_name("key", static_cast<unsigned long>(i)));
    }
    for (int i = n; i < 2 * n; ++i) ASSERT_EQ(m.get(key_name("key", static_cast<unsigned long>(i))), nullptr) << i;
    // The index keeps at least one free slot in eight.
    EXPECT_LE(m.size() * 8, m.index_capacity() * 7);
}

TEST(Map, DeepCopyKeepsOrderAndSharesNothing) {
    Value original = obj({{"z", Value(String("zz"))}, {"a", Value(Array{Value::from_u64(1)})}, {"m", Value()}});
    Value copy = original;
    EXPECT_EQ(keys_of(copy.as_object()), (std::vector<std::string>{"z", "a", "m"}));
    EXPECT_EQ(copy, original);
    EXPECT_NE(copy.as_object().get("z")->as_string().data(), original.as_object().get("z")->as_string().data());
    // Lookups work in the copy, which kept the source's hash keys and index.
    EXPECT_EQ(*copy.as_object().get("a"), Value(Array{Value::from_u64(1)}));
    copy.as_object().insert_full("new", Value(true));
    EXPECT_EQ(original.as_object().get("new"), nullptr);
    EXPECT_EQ(copy.as_object().size(), 4u);
}

TEST(Map, MovedFromValueIsNull) {
    Value a(String("text"));
    Value b(std::move(a));
    EXPECT_TRUE(a.is_null());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(b.as_string(), "text");
}

TEST(SipHash, DistinguishesTailLengthsAndKeys) {
    // Distinct lengths around the 8-byte boundary must give distinct hashes,
    // and the same input the same hash.
    std::vector<std::uint64_t> seen;
    for (std::size_t len = 0; len <= 17; ++len) {
        const std::string s(len, 'x');
        const auto h = siphash13(1, 2, s);
        EXPECT_EQ(h, siphash13(1, 2, s));
        for (auto other : seen) EXPECT_NE(h, other) << len;
        seen.push_back(h);
    }
    EXPECT_NE(siphash13(1, 2, "abc"), siphash13(1, 3, "abc"));
}

// Keys of every length up to past two words, differing in any one byte,
// compared from unaligned places.
TEST(SameKey, EveryLengthAndEveryDifferingByte) {
    for (std::size_t n = 0; n <= 20; ++n) {
        std::string a(n + 1, 'k'), b(n + 3, 'k');
        const std::string_view x(a.data() + 1, n), y(b.data() + 3, n);
        EXPECT_TRUE(same_key(x, y)) << n;
        EXPECT_FALSE(same_key(x, std::string_view(b.data() + 2, n + 1))) << n;
        for (std::size_t i = 0; i < n; ++i) {
            b[3 + i] = 'j';
            EXPECT_FALSE(same_key(x, y)) << n << " " << i;
            b[3 + i] = 'k';
        }
    }
}

// Random inserts with repeats, across the switch from scanning to an index,
// against a plain reference list.
TEST(Map, MatchesAReferenceAcrossSizes) {
    std::mt19937 rng(3);
    for (int size : {1, 2, 7, 8, 9, 10, 16, 17, 100, 1000}) {
        Map m;
        std::vector<std::pair<std::string, std::uint64_t>> ref;
        for (int i = 0; i < size * 3; ++i) {
            std::string key = key_name("k", rng() % static_cast<unsigned>(size));
            const std::uint64_t value = rng();
            auto it = std::find_if(ref.begin(), ref.end(), [&](const auto& e) { return e.first == key; });
            const auto expected_pos = static_cast<std::size_t>(it - ref.begin());
            auto ins = m.insert_full(key, Value::from_u64(value));
            ASSERT_EQ(ins.position, expected_pos) << size << " " << key;
            ASSERT_EQ(ins.previous.has_value(), it != ref.end()) << size << " " << key;
            if (it != ref.end()) {
                ASSERT_EQ(*ins.previous, Value::from_u64(it->second));
                it->second = value;
            } else {
                ref.emplace_back(key, value);
            }
        }
        ASSERT_EQ(m.size(), ref.size());
        for (std::size_t i = 0; i < ref.size(); ++i) {
            ASSERT_EQ(m.entry(i).key, ref[i].first);
            ASSERT_EQ(*m.get(ref[i].first), Value::from_u64(ref[i].second));
        }
        ASSERT_EQ(m.get("absent"), nullptr);
        Map copy = m;
        ASSERT_EQ(copy, m);
        for (const auto& [k, v] : ref) ASSERT_EQ(*copy.get(k), Value::from_u64(v));
    }
}
