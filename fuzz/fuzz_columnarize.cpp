// libFuzzer target, raw bytes: the input is the payload as it stands. Run
// with fuzz/json.dict for the dictionary-guided mode.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exactly sized heap copy, so that a read past the end is caught.
    std::unique_ptr<char[]> copy(new char[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(copy.get(), data, size);
    const std::string problem = tessik::fuzzcheck::check_payload(std::string_view(copy.get(), size));
    if (!problem.empty()) {
        std::fprintf(stderr, "invariant broken: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
