// The native limit for the columnar transform: simdjson parses the payload
// into its DOM and writes it back minified. Only parse + minify is timed,
// in-process, with one parser reused across runs (its buffers allocated by
// an untimed warm-up run), as simdjson's own benchmarks do.
//
// Usage: simdjson_minify MIN_SECONDS MIN_RUNS FILE...
// Prints "#implementation NAME", then per file: path, payload bytes, median ns,
// runs, output bytes (tab separated).
#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s MIN_SECONDS MIN_RUNS FILE...\n", argv[0]);
        return 2;
    }
    const double min_seconds = std::atof(argv[1]);
    const int min_runs = std::atoi(argv[2]);
    std::printf("#implementation\t%s\n", simdjson::get_active_implementation()->name().c_str());
    simdjson::dom::parser parser;
    for (int f = 3; f < argc; ++f) {
        simdjson::padded_string input;
        if (auto err = simdjson::padded_string::load(argv[f]).get(input)) {
            std::fprintf(stderr, "%s: %s\n", argv[f], simdjson::error_message(err));
            return 1;
        }
        std::size_t out_bytes = 0;
        auto run = [&]() -> long long {
            const auto t0 = std::chrono::steady_clock::now();
            simdjson::dom::element doc;
            if (auto err = parser.parse(input).get(doc)) {
                std::fprintf(stderr, "%s: %s\n", argv[f], simdjson::error_message(err));
                std::exit(1);
            }
            const std::string out = simdjson::minify(doc);
            const auto t1 = std::chrono::steady_clock::now();
            out_bytes = out.size();
            return std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
        };
        run();
        std::vector<long long> times;
        long long total = 0;
        while (static_cast<int>(times.size()) < min_runs || total < min_seconds * 1e9) {
            times.push_back(run());
            total += times.back();
        }
        std::sort(times.begin(), times.end());
        std::printf("%s\t%zu\t%lld\t%zu\t%zu\n", argv[f], input.size(), times[times.size() / 2], times.size(),
                    out_bytes);
    }
    return 0;
}
