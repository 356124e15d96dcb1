#include "json/quoted.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "json/unicode_tables.hpp"

namespace tessik::json {

bool escapes_as_code_point(char32_t c) noexcept {
    const auto* first = std::begin(unicode::ESCAPED_RANGES);
    const auto* last = std::end(unicode::ESCAPED_RANGES);
    // The first range whose end is not below c is the only candidate.
    const auto* it = std::lower_bound(first, last, static_cast<std::uint32_t>(c),
                                      [](const unicode::CodePointRange& r, std::uint32_t cp) {
                                          return r.last < cp;
                                      });
    return it != last && it->first <= static_cast<std::uint32_t>(c);
}

namespace {

void append_code_point_escape(std::string& out, char32_t c) {
    static constexpr char kHex[] = "0123456789abcdef";
    char digits[8];
    int n = 0;
    do {
        digits[n++] = kHex[c & 0xF];
        c >>= 4;
    } while (c != 0);
    out += "\\u{";
    while (n > 0) out += digits[--n];
    out += '}';
}

// Decodes one character of valid UTF-8 at `p` and returns its length.
std::size_t decode(const unsigned char* p, const unsigned char* end, char32_t& c) noexcept {
    const unsigned char b = p[0];
    std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    if (static_cast<std::size_t>(end - p) < len) len = 1;  // only for invalid input
    switch (len) {
        case 1: c = b; break;
        case 2: c = (char32_t{b} & 0x1F) << 6 | (p[1] & 0x3F); break;
        case 3: c = (char32_t{b} & 0x0F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F); break;
        default:
            c = (char32_t{b} & 0x07) << 18 | (p[1] & 0x3F) << 12 | (p[2] & 0x3F) << 6 | (p[3] & 0x3F);
            break;
    }
    return len;
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    out += '"';
    while (p < end) {
        char32_t c;
        const std::size_t len = decode(p, end, c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case 0: out += "\\0"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c >= 0x20 && c < 0x7F) {
                    out += static_cast<char>(c);
                } else if (escapes_as_code_point(c)) {
                    append_code_point_escape(out, c);
                } else {
                    out.append(reinterpret_cast<const char*>(p), len);
                }
                break;
        }
        p += len;
    }
    out += '"';
}

}  // namespace tessik::json
