// Writes generated row payloads into a folder, as seeds for the raw target.
//
// Usage: fuzz_seeds DIR [COUNT]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "row_generator.hpp"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIR [COUNT]\n", argv[0]);
        return 2;
    }
    const int count = argc > 2 ? std::atoi(argv[2]) : 200;
    std::uint64_t state = 0x5EED;
    for (int n = 0; n < count; ++n) {
        // SplitMix64: a fixed sequence, so the seeds are the same every run.
        std::vector<std::uint8_t> bytes(64 + n % 512);
        for (auto& b : bytes) {
            std::uint64_t z = (state += 0x9E3779B97F4A7C15);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
            b = static_cast<std::uint8_t>(z ^ (z >> 31));
        }
        const std::string payload = tessik::fuzzgen::generate_payload(bytes.data(), bytes.size());
        std::ofstream out(std::string(argv[1]) + "/gen-" + std::to_string(n) + ".json", std::ios::binary);
        out.write(payload.data(), static_cast<std::streamsize>(payload.size()));
    }
    return 0;
}
