// Speed of format_double (doubles per second) and of writing a large
// generated document (MB/s).
#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "json/writer.hpp"

using namespace tessik::json;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// CPU time of this thread: on a machine shared with other work it leaves
// out the time the thread waits for a core.
double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

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

// Best of ten passes of format_double over the doubles, in doubles per
// second of thread CPU time.
double doubles_per_second(const std::vector<double>& doubles, std::size_t& total) {
    char buf[max_double_chars];
    double best = 1e9;
    for (int run = 0; run < 10; ++run) {
        const double t0 = thread_seconds();
        for (double d : doubles) total += format_double(d, buf);
        best = std::min(best, thread_seconds() - t0);
    }
    return static_cast<double>(doubles.size()) / best;
}

}  // namespace

// With an argument (wide, unit or short), times that set of doubles alone,
// for instruction counts under callgrind.
int main(int argc, char** argv) {
    const char* only = argc > 1 ? argv[1] : nullptr;
    auto wanted = [only](const char* name) { return only == nullptr || std::strcmp(only, name) == 0; };
    constexpr std::size_t count = 1'000'000;
    std::mt19937_64 rng(42);
    // Full-precision doubles over a wide range of magnitudes.
    std::vector<double> wide(count);
    for (double& d : wide) d = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 120) - 90);
    // Uniform in [0, 1) with 53 random bits, as Python's random() gives: 17
    // significant digits nearly always.
    std::vector<double> unit(count);
    for (double& d : unit) d = std::ldexp(static_cast<double>(rng() >> 11), -53);
    // Short decimals such as prices and measurements: at most 6 digits, 2
    // after the point.
    std::vector<double> short_decimals(count);
    for (double& d : short_decimals) d = static_cast<double>(rng() % 1000000) / 100.0;

    std::size_t total = 0;
    if (wanted("wide"))
        std::printf("format_double, wide full-precision: %6.1f M doubles/s\n", doubles_per_second(wide, total) / 1e6);
    if (wanted("unit"))
        std::printf("format_double, uniform [0,1):       %6.1f M doubles/s\n", doubles_per_second(unit, total) / 1e6);
    if (wanted("short"))
        std::printf("format_double, short decimals:      %6.1f M doubles/s\n",
                    doubles_per_second(short_decimals, total) / 1e6);
    std::printf("(%zu bytes written)\n", total);

    if (only != nullptr) return 0;

    const Value doc = make_document(200'000);
    double best = 1e9;
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
