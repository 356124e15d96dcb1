// Reader throughput (validation only: a sink that keeps nothing, so this is
// the grammar's own cost) on a generated row payload: about 50 MB of rows with a
// dozen mixed keys each (integers, decimals, plain and escaped strings,
// non-ASCII text, booleans, null, a small object and a short array).
//
// Usage: bench_reader [megabytes] [runs]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "json/reader.hpp"

namespace {

using tessik::json::Byte;

// Counts the rows and keeps nothing else.
struct CountingSink {
    std::size_t depth = 0;
    std::size_t rows = 0;
    void begin_array(const Byte*) { ++depth; }
    void begin_object(const Byte*) { rows += depth == 1; ++depth; }
    void end_array(const Byte*) { --depth; }
    void end_object(const Byte*) { --depth; }
    void key(const tessik::json::StringToken&) {}
    void string(const tessik::json::StringToken&) {}
    void number(const tessik::json::NumberToken&) {}
    void literal(tessik::json::Value::Kind, bool, const Byte*, const Byte*) {}
};

// Deterministic, so every run reads the same bytes.
struct SplitMix {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t n) { return next() % n; }
};

const char* const kCities[] = {"Z\xC3\xBCrich", "M\xC3\xBCnchen", "S\xC3\xA3o Paulo", "Krak\xC3\xB3w",
                               "\xE6\x9D\xB1\xE4\xBA\xAC", "Oslo", "Lyon", "Reykjav\xC3\xADk"};
const char* const kWords[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"};

std::string generate(std::size_t target_bytes) {
    SplitMix rng{12345};
    std::string out;
    out.reserve(target_bytes + 1024);
    out += '[';
    for (std::uint64_t row = 0; out.size() < target_bytes; ++row) {
        if (row != 0) out += ',';
        out += "{\"id\":";
        out += std::to_string(row);
        out += ",\"user_id\":";
        out += std::to_string(rng.below(10000000000ull));
        out += ",\"delta\":-";
        out += std::to_string(1 + rng.below(100000));
        out += ",\"price\":";
        out += std::to_string(rng.below(100000));
        out += '.';
        out += std::to_string(10 + rng.below(90));
        out += ",\"ratio\":";
        out += std::to_string(rng.below(10));
        out += '.';
        out += std::to_string(rng.below(1000000000000ull));
        out += "e-";
        out += std::to_string(rng.below(12));
        out += ",\"name\":\"";
        out += kWords[rng.below(8)];
        out += ' ';
        out += kWords[rng.below(8)];
        out += "\",\"city\":\"";
        out += kCities[rng.below(8)];
        out += "\",\"note\":\"line one\\nline \\\"two\\\" \\u00e9t\\u00e9 \\ud83d\\ude00 tab\\tend\"";
        out += ",\"active\":";
        out += rng.below(2) ? "true" : "false";
        out += ",\"deleted_at\":null";
        out += ",\"geo\":{\"lat\":";
        out += std::to_string(rng.below(90));
        out += '.';
        out += std::to_string(rng.below(1000000));
        out += ",\"lon\":-";
        out += std::to_string(rng.below(180));
        out += '.';
        out += std::to_string(rng.below(1000000));
        out += "},\"tags\":[\"";
        out += kWords[rng.below(8)];
        out += "\",\"";
        out += kWords[rng.below(8)];
        out += "\",";
        out += std::to_string(rng.below(100));
        out += "]}";
    }
    out += ']';
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 50;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 7;
    const std::string payload = generate(megabytes * 1000 * 1000);

    std::vector<double> seconds;
    std::size_t rows = 0;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        {
            CountingSink sink;
            tessik::json::Reader<CountingSink> reader(payload, sink);
            if (!reader.read_top_level_array()) {
                std::fprintf(stderr, "read failed: %s\n", reader.error().text().c_str());
                return 1;
            }
            rows = sink.rows;
        }
        const auto stop = std::chrono::steady_clock::now();
        seconds.push_back(std::chrono::duration<double>(stop - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    const double mb = static_cast<double>(payload.size()) / 1e6;
    std::printf("payload %.1f MB, %zu rows, %d runs\n", mb, rows, runs);
    std::printf("best %.1f MB/s, median %.1f MB/s\n", mb / seconds.front(), mb / seconds[seconds.size() / 2]);
    return 0;
}
