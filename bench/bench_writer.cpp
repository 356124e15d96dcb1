// Speed of format_double (doubles per second) and of writing a large
// generated document (MB/s).
#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "json/writer.hpp"

using namespace tessik::json;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

Value make_document(std::size_t rows) {
    std::mt19937_64 rng(7);
    Array out;
    out.reserve(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        Array cells;
        cells.push_back(Value::from_u64(rng() >> 24));
        cells.push_back(Value::from_double(static_cast<double>(rng() % 1000000) / 100.0));
        cells.push_back(Value(String("2026-12-08T14:46:02Z")));
        cells.push_back(Value(String("6f1c2d3e-4a5b-6c7d-8e9f-0a1b2c3d4e5f")));
        cells.push_back(Value(String("caf\xC3\xA9 \"quoted\" text\n")));
        cells.push_back(Value(rng() % 2 == 0));
        cells.push_back(Value());
        cells.push_back(Value::from_i64(-static_cast<std::int64_t>(rng() % 100000)));
        out.emplace_back(std::move(cells));
    }
    return Value(std::move(out));
}

}  // namespace

int main() {
    std::mt19937_64 rng(42);
    std::vector<double> doubles(1'000'000);
    for (double& d : doubles) d = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 120) - 90);
    char buf[max_double_chars];
    std::size_t total = 0;
    double best = 1e9;
    for (int run = 0; run < 5; ++run) {
        const auto t0 = Clock::now();
        for (double d : doubles) total += format_double(d, buf);
        best = std::min(best, seconds_since(t0));
    }
    std::printf("format_double: %.1f M doubles/s (%zu bytes)\n", doubles.size() / best / 1e6, total);

    const Value doc = make_document(200'000);
    best = 1e9;
    std::size_t size = 0;
    for (int run = 0; run < 5; ++run) {
        Buffer out(128);
        const auto t0 = Clock::now();
        write_to_buffer(doc, out);
        best = std::min(best, seconds_since(t0));
        size = out.size();
    }
    std::printf("write_to_buffer: %.1f MB in %.1f ms, %.0f MB/s\n", size / 1e6, best * 1e3, size / best / 1e6);
}
