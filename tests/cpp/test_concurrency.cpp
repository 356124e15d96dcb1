// Concurrency harness: many threads run columnarize_json at once over valid
// and broken payloads, and every result must equal the single-threaded one.
// It stands in for the free-threaded interpreter; run it under
// ThreadSanitizer (-DTESSIK_SANITIZE=thread, --gtest_filter='Concurrency*')
// so that any state shared between calls shows up as a data race.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "../../fuzz/row_generator.hpp"
#include "json/buffer.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"
#include "transform/entry.hpp"

namespace {

constexpr int kThreads = 8;

struct Outcome {
    bool ok = false;
    std::string bytes;  // output, or the error text

    friend bool operator==(const Outcome&, const Outcome&) = default;
};

Outcome run(const std::string& payload) {
    auto r = tessik::transform::columnarize_json(payload);
    if (r.is_ok()) return {true, std::string(r.value().view())};
    return {false, r.error()};
}

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    return z ^ (z >> 31);
}

// A larger table, so that calls on different threads overlap in time.
std::string table(int rows) {
    std::string p = "[";
    for (int i = 0; i < rows; ++i) {
        if (i != 0) p += ',';
        p += "{\"id\":" + std::to_string(i) + ",\"unit\":\"kg\",\"price\":" + std::to_string(i % 97) + ".5";
        p += ",\"name\":\"r\\u00e9f-" + std::to_string(i * 7919 % 1000) + "\",\"note\":null";
        if (i % 3 == 0) p += ",\"tags\":[\"a\",{\"x\":" + std::to_string(i % 5) + "}]";
        p += '}';
    }
    p += ']';
    return p;
}

std::vector<std::string> payloads() {
    std::vector<std::string> out = {
        "[]",
        "[{},{}]",
        R"([{"id":1,"tag":"a","unit":"kg","note":null},{"id":2,"unit":"kg","tag":"b"},{"id":3,"tag":"a","unit":"kg","extra":null}])",
        R"([{"v":1},{"v":1.0}])",
        R"([{"o":{"x":1,"y":2}},{"o":{"y":2,"x":1}}])",
        R"([{"a":1,"a":2},{"a":2}])",
        // Broken: every stage's error on some thread.
        "",
        "[1,",
        R"({"a":1})",
        R"([{"a":1},2,])",
        R"([{"a":1},[2,3],null])",
        "[\"\xFF\"]",
        R"(["\uD800\u0041"])",
        "[1e400]",
        std::string(128, '[') + std::string(128, ']'),
        table(3000),
        table(500),
    };
    std::uint64_t state = 42;
    for (int n = 0; n < 120; ++n) {
        std::vector<std::uint8_t> bytes(64 + n * 8);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(splitmix(state));
        out.push_back(tessik::fuzzgen::generate_payload(bytes.data(), bytes.size()));
    }
    return out;
}

}  // namespace

TEST(Concurrency, ThreadsMatchSingleThreadedRun) {
    const std::vector<std::string> inputs = payloads();
    std::vector<Outcome> expected;
    expected.reserve(inputs.size());
    for (const std::string& p : inputs) expected.push_back(run(p));
    // The set must hold both outcomes, or the comparison proves little.
    const auto accepted = std::count_if(expected.begin(), expected.end(), [](const Outcome& o) { return o.ok; });
    ASSERT_GE(accepted, 20);
    ASSERT_GE(static_cast<long>(expected.size()) - accepted, 20);

    constexpr int kRounds = 2;
    std::vector<std::vector<std::size_t>> mismatches(kThreads);
    std::vector<std::size_t> calls(kThreads, 0);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Each thread walks the payloads in its own order.
            std::vector<std::size_t> order(inputs.size());
            for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
            std::uint64_t state = static_cast<std::uint64_t>(t) + 1;
            start.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round) {
                for (std::size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[splitmix(state) % i]);
                for (std::size_t i : order) {
                    if (!(run(inputs[i]) == expected[i])) mismatches[t].push_back(i);
                    ++calls[t];
                }
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(calls[t], kRounds * inputs.size()) << "thread " << t;
        EXPECT_TRUE(mismatches[t].empty()) << "thread " << t << " differs on " << mismatches[t].size()
                                           << " payloads, first index " << mismatches[t].front();
    }
}

// Read-only use of one document from many threads at once: lookups,
// equality, deep copies and writing must not touch shared mutable state.
TEST(Concurrency, SharedDocumentIsReadOnly) {
    const std::string text = table(400);
    auto read = tessik::json::read_top_level_array(text);
    ASSERT_TRUE(read.is_ok());
    const std::vector<tessik::json::Value>& rows = read.value();
    tessik::json::Buffer reference(128);
    for (const auto& row : rows) tessik::json::write_to_buffer(row, reference);
    const std::string expected(reference.view());

    std::vector<int> failures(kThreads, 0);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int round = 0; round < 3; ++round) {
                tessik::json::Buffer out(128);
                for (std::size_t i = 0; i < rows.size(); ++i) {
                    const auto& row = rows[(i + static_cast<std::size_t>(t) * 37) % rows.size()];
                    const tessik::json::Value copy = row;
                    if (!(copy == row)) ++failures[t];
                    const tessik::json::Value* id = row.as_object().get("id");
                    if (id == nullptr || row.as_object().get("missing") != nullptr) ++failures[t];
                }
                for (const auto& row : rows) tessik::json::write_to_buffer(row, out);
                if (out.view() != expected) ++failures[t];
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

// Short-lived threads, each with its own per-thread hash keys: creating and
// tearing them down while others run must be race-free too.
TEST(Concurrency, ShortLivedThreads) {
    const std::string p = table(50);
    const Outcome expected = run(p);
    ASSERT_TRUE(expected.ok);
    std::vector<int> same(64, 0);
    for (int batch = 0; batch < 8; ++batch) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, slot = batch * kThreads + t] { same[slot] = run(p) == expected; });
        for (std::thread& th : threads) th.join();
    }
    EXPECT_EQ(std::count(same.begin(), same.end(), 1), 64);
}
