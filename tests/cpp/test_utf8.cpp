// UTF-8 validation: the dispatched check and each kernel behind it against
// known answers and against a decoder that judges code point values.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "../../fuzz/check.hpp"
#include "json/reader.hpp"
#include "json/utf8_validate.hpp"

using namespace tessik::json;

namespace {

using Check = bool (*)(const Byte*, const Byte*) noexcept;

struct Kernel {
    const char* name;
    Check check;
};

std::vector<Kernel> kernels() {
    std::vector<Kernel> all{{"dispatched", detail::is_valid_utf8}, {"portable", detail::is_valid_utf8_portable}};
    if (detail::has_avx2()) {
        all.push_back({"avx2", detail::is_valid_utf8_avx2});
    } else {
        static const bool noted = (std::printf("[ note ] no AVX2 on this CPU: that kernel is not compared\n"), true);
        (void)noted;
    }
    return all;
}

// The fuzz checker's decoder judges code point values, unlike the kernels,
// which judge byte ranges.
bool reference_valid(std::string_view s) { return tessik::fuzzcheck::utf8_ok(s); }

std::string encode(char32_t c) {
    std::string out;
    auto put = [&out](unsigned b) { out += static_cast<char>(b); };
    if (c < 0x80) {
        put(c);
    } else if (c < 0x800) {
        put(0xC0 | (c >> 6)), put(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        put(0xE0 | (c >> 12)), put(0x80 | ((c >> 6) & 0x3F)), put(0x80 | (c & 0x3F));
    } else {
        put(0xF0 | (c >> 18)), put(0x80 | ((c >> 12) & 0x3F)), put(0x80 | ((c >> 6) & 0x3F)), put(0x80 | (c & 0x3F));
    }
    return out;
}

std::string hex(std::string_view s) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned char>(s[i]));
        if (i != 0) out += ' ';
        out += buf;
    }
    return out;
}

// Exactly `n` bytes of well-formed text: ASCII, or two-, three- and
// four-byte characters in turn, with ASCII where the next one would not fit.
std::string filler(std::size_t n, bool multibyte) {
    static constexpr std::string_view kChars[] = {"\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "q"};
    std::string s;
    for (std::size_t k = 0; s.size() < n; ++k) {
        std::string_view c = multibyte ? kChars[k % 4] : "a";
        if (c.size() > n - s.size()) c = "a";
        s += c;
    }
    return s;
}

// Holds every kernel to an expected answer, reporting the first few
// disagreements in full and counting the rest.
class Judge {
public:
    Judge() : kernels_(kernels()) {}

    void expect(std::string_view s, bool valid, std::string_view what = {}) {
        const Byte* p = reinterpret_cast<const Byte*>(s.data());
        for (const Kernel& k : kernels_) {
            ++checks_;
            if (k.check(p, p + s.size()) == valid) continue;
            if (++wrong_ <= 20) {
                ADD_FAILURE() << k.name << " says " << (valid ? "invalid" : "valid") << " for " << what << " ["
                              << hex(s) << "] (" << s.size() << " bytes)";
            }
        }
        ++(valid ? valid_ : invalid_);
    }

    // Asserts that the cases seen mixed both answers and met no
    // disagreement; to call once, at the end.
    void finish(std::size_t least_each) const {
        EXPECT_EQ(wrong_, 0u) << "disagreements in " << checks_ << " checks";
        EXPECT_GE(valid_, least_each) << "too few valid cases to mean anything";
        EXPECT_GE(invalid_, least_each) << "too few invalid cases to mean anything";
        std::printf("[ cases ] %zu valid, %zu invalid, %zu checks\n", valid_, invalid_, checks_);
    }

private:
    std::vector<Kernel> kernels_;
    std::size_t checks_ = 0;
    std::size_t wrong_ = 0;
    std::size_t valid_ = 0;
    std::size_t invalid_ = 0;
};

struct Known {
    const char* name;
    std::string_view bytes;
    bool valid;
};

constexpr Known kKnown[] = {
    {"empty", "", true},
    {"ASCII", "plain text\x7F", true},
    {"NUL", std::string_view("\0", 1), true},
    {"U+0080", "\xC2\x80", true},
    {"U+07FF", "\xDF\xBF", true},
    {"overlong C0 80", "\xC0\x80", false},
    {"overlong C1 BF", "\xC1\xBF", false},
    {"U+0800", "\xE0\xA0\x80", true},
    {"overlong E0 80 80", "\xE0\x80\x80", false},
    {"overlong E0 9F BF", "\xE0\x9F\xBF", false},
    {"U+0FFF", "\xE0\xBF\xBF", true},
    {"U+D7FF", "\xED\x9F\xBF", true},
    {"surrogate U+D800", "\xED\xA0\x80", false},
    {"surrogate U+DBFF", "\xED\xAF\xBF", false},
    {"surrogate U+DC00", "\xED\xB0\x80", false},
    {"surrogate U+DFFF", "\xED\xBF\xBF", false},
    {"surrogate pair as two sequences", "\xED\xA0\xBD\xED\xB8\x80", false},
    {"U+E000", "\xEE\x80\x80", true},
    {"U+FFFF", "\xEF\xBF\xBF", true},
    {"U+10000", "\xF0\x90\x80\x80", true},
    {"overlong F0 80 80 80", "\xF0\x80\x80\x80", false},
    {"overlong F0 8F BF BF", "\xF0\x8F\xBF\xBF", false},
    {"U+3FFFF", "\xF0\xBF\xBF\xBF", true},
    {"U+40000", "\xF1\x80\x80\x80", true},
    {"U+10FFFF", "\xF4\x8F\xBF\xBF", true},
    {"U+110000", "\xF4\x90\x80\x80", false},
    {"F4 BF BF BF", "\xF4\xBF\xBF\xBF", false},
    {"F5 80 80 80", "\xF5\x80\x80\x80", false},
    {"F7 BF BF BF", "\xF7\xBF\xBF\xBF", false},
    {"five-byte form", "\xF8\x88\x80\x80\x80", false},
    {"six-byte form", "\xFC\x84\x80\x80\x80\x80", false},
    {"FE", "\xFE", false},
    {"FF", "\xFF", false},
    {"lone 80", "\x80", false},
    {"lone BF", "\xBF", false},
    {"continuation after a whole sequence", "\xC3\xA9\x80", false},
    {"fifth byte after a four-byte sequence", "\xF0\x9F\x98\x80\x80", false},
    {"two-byte lead then ASCII", "\xC3" "a", false},
    {"two-byte lead then lead", "\xC3\xC3\xA9", false},
    {"three-byte lead, one continuation, ASCII", "\xE2\x82" "a", false},
    {"four-byte lead, two continuations, lead", "\xF0\x9F\x98\xC3\xA9", false},
    {"truncated two-byte", "\xC3", false},
    {"truncated three-byte", "\xE2\x82", false},
    {"truncated four-byte", "\xF0\x9F\x98", false},
    {"mixed text", "caf\xC3\xA9 \xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x98\x80!", true},
};

}  // namespace

// The reference first, so that the comparisons below rest on something.
TEST(Utf8Validate, ReferenceDecoderAgreesWithKnownAnswers) {
    for (const Known& k : kKnown) EXPECT_EQ(reference_valid(k.bytes), k.valid) << k.name;
}

// Each known case alone, and at the start, middle and end of ASCII and of
// multibyte text long enough for the block kernel.
TEST(Utf8Validate, KnownAnswers) {
    Judge judge;
    for (const Known& k : kKnown) {
        judge.expect(k.bytes, k.valid, k.name);
        for (bool multibyte : {false, true}) {
            for (std::size_t around : {std::size_t{31}, std::size_t{63}, std::size_t{100}}) {
                const std::string pad = filler(around, multibyte);
                judge.expect(pad + std::string(k.bytes), k.valid, k.name);
                judge.expect(std::string(k.bytes) + pad, k.valid, k.name);
                judge.expect(pad + std::string(k.bytes) + pad, k.valid, k.name);
            }
        }
    }
    judge.finish(20);
}

// Every byte from 0x80 up as a lead, with each second byte on the edge of a
// range some lead allows, then continuations or not, at every offset across
// two 32-byte blocks, followed by nothing (a sequence cut short at the end
// of the input), by one byte, or by enough text to reach further blocks.
TEST(Utf8Validate, LeadAndSecondByteEdgesAtEveryOffset) {
    static constexpr unsigned char kSecond[] = {0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0};
    static const std::vector<std::string> kRest = {"", "\x80", "\xBF\x80", "\x7F", "\x80\xC0"};
    std::vector<std::string> sequences;
    for (int lead = 0x80; lead <= 0xFF; ++lead) {
        sequences.push_back(std::string(1, static_cast<char>(lead)));
        for (unsigned char second : kSecond) {
            for (const std::string& rest : kRest) {
                sequences.push_back(std::string{static_cast<char>(lead), static_cast<char>(second)} + rest);
            }
        }
    }
    Judge judge;
    for (bool multibyte : {false, true}) {
        for (std::size_t after : {std::size_t{0}, std::size_t{1}, std::size_t{37}, std::size_t{70}}) {
            const std::string suffix = filler(after, multibyte);
            for (std::size_t offset = 0; offset <= 70; ++offset) {
                const std::string prefix = filler(offset, multibyte);
                for (const std::string& seq : sequences) {
                    const std::string s = prefix + seq + suffix;
                    judge.expect(s, reference_valid(s), "a lead and second byte");
                }
            }
        }
    }
    judge.finish(100000);
}

// A whole sequence of each length, at the range edges, then the same cut
// one to three bytes short: at the very end of the input, before ASCII,
// before another whole sequence, and before an ASCII run of any length
// after which its missing bytes follow.
TEST(Utf8Validate, TruncatedSequences) {
    static constexpr char32_t kCodePoints[] = {0x80,   0x7FF,   0x800,   0xFFF,   0x1000,  0xD7FF,  0xE000,
                                               0xFFFD, 0xFFFF,  0x10000, 0x3FFFF, 0x40000, 0xFFFFF, 0x100000,
                                               0x10FFFF};
    Judge judge;
    for (char32_t c : kCodePoints) {
        const std::string whole = encode(c);
        for (bool multibyte : {false, true}) {
            for (std::size_t before = 0; before <= 100; ++before) {
                const std::string prefix = filler(before, multibyte);
                judge.expect(prefix + whole, true, "whole");
                judge.expect(prefix + whole + "a", true, "whole then ASCII");
                for (std::size_t cut = 1; cut < whole.size(); ++cut) {
                    const std::string part = whole.substr(0, whole.size() - cut);
                    judge.expect(prefix + part, false, "cut short at the end");
                    judge.expect(prefix + part + "a", false, "cut short before ASCII");
                    judge.expect(prefix + part + whole, false, "cut short before a sequence");
                    judge.expect(prefix + part + std::string(64, 'a'), false, "cut short before ASCII blocks");
                    const std::string missing = whole.substr(part.size());
                    for (std::size_t run = 1; run <= 70; ++run) {
                        judge.expect(prefix + part + std::string(run, 'a') + missing, false,
                                     "ASCII inside a sequence");
                    }
                }
            }
        }
    }
    judge.finish(1000);
}

// One fault put at every position of a long, valid mixed text: a byte
// replaced by FF, a surrogate, an overlong or a stray continuation inserted,
// or one byte of a sequence deleted.
TEST(Utf8Validate, OneFaultAnywhereInLongText) {
    const std::string text = filler(700, true) + std::string(130, 'z') + filler(300, true);
    ASSERT_TRUE(reference_valid(text));
    Judge judge;
    judge.expect(text, true, "the text itself");
    static constexpr std::string_view kInserted[] = {"\xED\xA0\x80", "\xE0\x9F\xBF", "\xC1\xBF", "\x80",
                                                     "\xF4\x90\x80\x80"};
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::string replaced = text;
        replaced[i] = '\xFF';
        judge.expect(replaced, false, "FF at " + std::to_string(i));
        // Insertions between characters only: inside one they would break it
        // whatever was inserted.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            for (std::string_view bad : kInserted) {
                std::string inserted = text;
                inserted.insert(i, bad);
                judge.expect(inserted, false, "insertion at " + std::to_string(i));
            }
        }
        if (static_cast<unsigned char>(text[i]) >= 0x80) {
            std::string deleted = text;
            deleted.erase(i, 1);
            judge.expect(deleted, false, "deletion at " + std::to_string(i));
        }
    }
    judge.finish(1);
}

// Seeded random strings of 0 to 300 bytes: characters drawn from every
// encoded length and range edge, mixed with arbitrary bytes at a rate that
// varies from string to string, so that both answers are common.
TEST(Utf8Validate, RandomStringsAgreeWithTheReference) {
    std::mt19937_64 rng(20240611);
    auto below = [&rng](std::uint64_t n) { return static_cast<std::size_t>(rng() % n); };
    static constexpr char32_t kEdges[] = {0x7F,   0x80,   0x7FF,   0x800,   0xD7FF,  0xE000,
                                          0xFFFF, 0x10000, 0x10FFFF, 0xFEFF, 0xFFFD, 0x1F600};
    auto character = [&]() -> std::string {
        switch (below(6)) {
            case 0: return encode(static_cast<char32_t>(below(0x80)));
            case 1: return encode(static_cast<char32_t>(0x80 + below(0x800 - 0x80)));
            case 2: {
                const char32_t c = static_cast<char32_t>(0x800 + below(0x10000 - 0x800 - 0x800));
                return encode(c < 0xD800 ? c : c + 0x800);  // around the surrogates
            }
            case 3: return encode(static_cast<char32_t>(0x10000 + below(0x110000 - 0x10000)));
            case 4: return encode(kEdges[below(std::size(kEdges))]);
            default: return std::string(1 + below(20), static_cast<char>('a' + below(26)));
        }
    };
    Judge judge;
    for (int n = 0; n < 200000; ++n) {
        const std::size_t length = below(301);
        // From no noise to mostly noise.
        const std::size_t noise_in_1000 = n % 4 == 0 ? 0 : std::size_t{1} << below(10);
        std::string s;
        while (s.size() < length) {
            if (below(1000) < noise_in_1000) {
                s += static_cast<char>(below(256));
            } else {
                s += character();
            }
        }
        s.resize(length);  // may cut the last character short
        judge.expect(s, reference_valid(s), "random string " + std::to_string(n));
    }
    judge.finish(20000);
}
