// Whole-transform time and peak memory on a payload file, for comparing
// builds without the interpreter in the way.
//
// Usage: bench_transform FILE [runs]
// Prints the median and best time of columnarize_json, and the peak RSS
// growth of the first call as a multiple of the payload size.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "transform/entry.hpp"

namespace {

long status_kib(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0) return std::strtol(line.c_str() + n + 1, nullptr, 10);
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_transform FILE [runs]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string payload((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const int runs = argc > 2 ? std::atoi(argv[2]) : 7;

    // Peak growth of one call: the payload is already resident.
    {
        std::ofstream("/proc/self/clear_refs") << "5";
        const long before = status_kib("VmRSS:");
        auto result = tessik::transform::columnarize_json(payload);
        const long peak = status_kib("VmHWM:");
        if (!result.is_ok()) {
            std::fprintf(stderr, "failed: %s\n", result.error().c_str());
            return 1;
        }
        std::printf("output %zu bytes; peak growth %.2f x payload\n", result.value().size(),
                    (peak - before) * 1024.0 / static_cast<double>(payload.size()));
    }
    std::vector<double> seconds;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        auto result = tessik::transform::columnarize_json(payload);
        const auto stop = std::chrono::steady_clock::now();
        seconds.push_back(std::chrono::duration<double>(stop - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    const double mb = static_cast<double>(payload.size()) / 1e6;
    std::printf("payload %.2f MB, %d runs: best %.3f ms (%.1f MB/s), median %.3f ms (%.1f MB/s)\n", mb, runs,
                seconds.front() * 1e3, mb / seconds.front(), seconds[seconds.size() / 2] * 1e3,
                mb / seconds[seconds.size() / 2]);
    return 0;
}
