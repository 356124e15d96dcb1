// libFuzzer target, structure-aware: the input drives a row generator
// (rows, shared and escaped keys, long and edge numbers, escapes, \u
// surrogates, UTF-8 edge bytes, nesting at the limit, rare corruptions).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "check.hpp"
#include "row_generator.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string payload = tessik::fuzzgen::generate_payload(data, size);
    std::unique_ptr<char[]> copy(new char[payload.empty() ? 1 : payload.size()]);
    std::memcpy(copy.get(), payload.data(), payload.size());
    const std::string problem =
        tessik::fuzzcheck::check_payload(std::string_view(copy.get(), payload.size()));
    if (!problem.empty()) {
        std::fprintf(stderr, "invariant broken: %s\npayload (%zu bytes): %.4096s\n", problem.c_str(),
                     payload.size(), payload.c_str());
        std::abort();
    }
    return 0;
}
