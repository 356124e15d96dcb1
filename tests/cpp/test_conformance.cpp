// The JSONTestSuite parsing cases, the whole folder: y_ files are read
// without a syntax error, n_ files are rejected, i_ files only must not
// crash or read out of bounds (the sanitizer build checks that).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "json/reader.hpp"

using namespace tessik::json;
namespace fs = std::filesystem;

namespace {

struct Sample {
    std::string name;
    std::string bytes;
};

std::vector<Sample> load_suite() {
    std::vector<Sample> out;
    const fs::path dir = fs::path(TESSIK_TESTDATA_DIR) / "jsontestsuite";
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".json") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        out.push_back({entry.path().filename().string(), std::move(bytes)});
    }
    std::sort(out.begin(), out.end(), [](const Sample& a, const Sample& b) { return a.name < b.name; });
    return out;
}

// Reads from an exactly sized heap copy so that the sanitizer catches any
// read past the end of the payload.
tessik::Result<std::vector<Value>, Error> read_exact(const std::string& bytes) {
    std::unique_ptr<char[]> copy(new char[bytes.size() == 0 ? 1 : bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    return read_top_level_array(std::string_view(copy.get(), bytes.size()));
}

}  // namespace

TEST(Conformance, JsonTestSuiteFolder) {
    const std::vector<Sample> suite = load_suite();
    // The folder holds 95 y_, 188 n_ and 35 i_ files; an empty or partial
    // folder must not pass silently.
    std::size_t y = 0, n = 0, i = 0;
    for (const Sample& s : suite) {
        auto result = read_exact(s.bytes);
        if (s.name.starts_with("y_")) {
            ++y;
            if (!result.is_ok()) {
                // A valid text whose top level is not an array is still a
                // rejected payload, but only by the wrong-type error.
                EXPECT_EQ(result.error().code, ErrorCode::Message)
                    << s.name << ": " << result.error().text();
                EXPECT_TRUE(result.error().text().starts_with("invalid type: "))
                    << s.name << ": " << result.error().text();
            }
        } else if (s.name.starts_with("n_")) {
            ++n;
            EXPECT_FALSE(result.is_ok()) << s.name << " was accepted";
            if (!result.is_ok()) {
                EXPECT_GE(result.error().line, 1u) << s.name;
            }
        } else if (s.name.starts_with("i_")) {
            ++i;
            if (!result.is_ok()) {
                EXPECT_GE(result.error().line, 1u) << s.name;
            }
        }
    }
    EXPECT_EQ(y, 95u);
    EXPECT_EQ(n, 188u);
    EXPECT_EQ(i, 35u);
}

// Every prefix of every sample is a truncated document: it must fail or
// succeed cleanly, never read past its end.
TEST(Conformance, EveryPrefixOfSmallSamples) {
    std::size_t prefixes = 0;
    for (const Sample& s : load_suite()) {
        if (s.bytes.size() > 512) continue;
        for (std::size_t len = 0; len <= s.bytes.size(); ++len) {
            auto result = read_exact(s.bytes.substr(0, len));
            if (!result.is_ok()) {
                EXPECT_GE(result.error().line, 1u) << s.name << " prefix " << len;
            }
            ++prefixes;
        }
    }
    EXPECT_GT(prefixes, 1000u);
}
