#include "transform/canonical.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "json/key_index.hpp"
#include "json/nearest_double.hpp"
#include "json/writer.hpp"

namespace tessik::transform::detail {

namespace {

// Whether a short decimal literal ("I.F", with a sign perhaps, and F of
// fraction_digits digits) is already written as the writer writes its
// double: the literal's own digits without trailing zeros, in fixed
// notation down to 0.0000d.
bool is_written_form(std::string_view literal, std::size_t fraction_digits) noexcept {
    if (literal[0] == '-') literal.remove_prefix(1);
    const std::size_t dot = literal.size() - 1 - fraction_digits;
    const std::string_view whole = literal.substr(0, dot), fraction = literal.substr(dot + 1);
    if (whole != "0") return fraction.back() != '0' || fraction == "0";
    // Below 1: at most four zeros before the first digit.
    std::size_t zeros = 0;
    while (zeros < fraction.size() && fraction[zeros] == '0') ++zeros;
    return zeros <= 4 && fraction.back() != '0';
}

}  // namespace

std::string_view number_text(const NumberToken& t, char* buf) {
    const std::string_view literal = span(t.begin, t.end);
    // Integer forms come only from integer literals, which have no leading
    // zeros: their digits are the written form ("-0" reads as a double).
    if (t.number.form() != json::Number::Form::Double) return literal;
    std::size_t n;
    if (t.decimal.significand != 0) {
        if (is_written_form(literal, t.decimal.fraction_digits)) return literal;
        n = json::format_short_decimal(std::signbit(t.number.as_double()), t.decimal.significand,
                                       t.decimal.fraction_digits, buf);
    } else {
        n = json::format_number(t.number, buf);
    }
    const std::string_view text(buf, n);
    return text == literal ? literal : text;
}

// The record of an equal key earlier in the open object, or npos.
std::size_t Emitter::find_repeated(Open& o, std::string_view key) {
    const std::size_t count = members_.size() - o.members;
    const Member* run = members_.data() + o.members;
    if (count < kMaxScannedMembers) {
        // A cheap fingerprint: length and the first and last bytes.
        const unsigned char head = key.empty() ? 0 : static_cast<unsigned char>(key.front());
        const unsigned char tail = key.empty() ? 0 : static_cast<unsigned char>(key.back());
        const std::uint64_t bit = std::uint64_t{1} << ((key.size() * 7 + head * 3 + tail) & 63);
        const bool maybe = (o.seen & bit) != 0;
        o.seen |= bit;
        if (!maybe) return npos;
        for (std::size_t i = 0; i < count; ++i)
            if (run[i].repeat_of == npos && json::same_key(key_of(run[i]), key)) return o.members + i;
        return npos;
    }
    const std::size_t level = open_.size() - 1;
    if (o.large == kScanned) {
        const std::vector<std::string_view>& shape = large().shapes[shape_slot(key_of(run[0]))];
        bool follows = !o.repeated && shape.size() >= count;
        for (std::size_t i = 0; follows && i < count; ++i) follows = json::same_key(shape[i], key_of(run[i]));
        if (follows) {
            std::vector<std::vector<std::string_view>>& following = large().following;
            if (following.size() <= level) following.resize(level + 1);
            following[level] = shape;
            o.large = kOnShape;
        } else {
            o.large = kIndexed;
            index_keys(o, level);
        }
    }
    if (o.large == kOnShape) {
        const std::vector<std::string_view>& shape = large().following[level];
        if (count < shape.size() && json::same_key(shape[count], key)) return npos;
        o.large = kIndexed;
        index_keys(o, level);
    }
    auto key_at = [&](std::size_t i) { return key_of(run[i]); };
    const std::size_t i = large().indexes[level].find_or_insert(key, count, key_at);
    return i == npos ? npos : o.members + i;
}

void Emitter::index_keys(const Open& o, std::size_t level) {
    std::vector<json::KeyIndex>& indexes = large().indexes;
    if (indexes.size() <= level) indexes.resize(level + 1);
    json::KeyIndex& index = indexes[level];
    index.clear();
    const Member* run = members_.data() + o.members;
    auto key_at = [&](std::size_t i) { return key_of(run[i]); };
    for (std::size_t i = 0; i < members_.size() - o.members; ++i)
        if (run[i].repeat_of == npos) index.find_or_insert(key_of(run[i]), i, key_at);
}

// Rewrites a closed object that repeated a key: each key at its first
// position with its last value, as a map keeps them.
void Emitter::merge_repeated(const Open& o) {
    flush();
    for (std::size_t i = o.members; i < members_.size(); ++i) {
        const Member& m = members_[i];
        if (m.repeat_of == npos) continue;
        members_[m.repeat_of].value_at = m.value_at;
        members_[m.repeat_of].value_end = m.value_end;
    }
    scratch_.clear();
    scratch_.push('{');
    bool any = false;
    for (std::size_t i = o.members; i < members_.size(); ++i) {
        const Member& m = members_[i];
        if (m.repeat_of != npos) continue;
        if (any) scratch_.push(',');
        any = true;
        // The quoted key and its ":", then the value.
        scratch_.append(piece_.data() + m.key_at, m.key_size + 3);
        scratch_.append(piece_.data() + m.value_at, m.value_end - m.value_at);
    }
    scratch_.push('}');
    // The object is the tail of piece_, from its brace at o.at.
    piece_.truncate(o.at);
    piece_.append(scratch_.view());
}

void Emitter::remember_shape(const Open& o) {
    const std::size_t count = members_.size() - o.members;
    if (count < kMaxScannedMembers) return;
    const Member* run = members_.data() + o.members;
    for (std::size_t i = 0; i < count; ++i)
        if (run[i].key == nullptr) return;
    std::vector<std::string_view>& shape = large().shapes[shape_slot(key_of(run[0]))];
    shape.clear();
    for (std::size_t i = 0; i < count; ++i) shape.push_back(key_of(run[i]));
}

double number_value(std::string_view text) noexcept {
    double d = 0;
    if (is_double_text(text)) {
        // The shortest digits of a double read back, correctly rounded, as
        // that double.
#if TESSIK_HAVE_FROM_CHARS_DOUBLE
        std::from_chars(text.data(), text.data() + text.size(), d);
#else
        json::nearest_double(text.data(), text.data() + text.size(), d);
#endif
    } else if (text[0] == '-') {
        std::int64_t i = 0;
        std::from_chars(text.data(), text.data() + text.size(), i);
        d = static_cast<double>(i);
    } else {
        std::uint64_t u = 0;
        std::from_chars(text.data(), text.data() + text.size(), u);
        d = static_cast<double>(u);
    }
    return d;
}

namespace {

// The end of the compact value that starts at p.
const char* skip_value(const char* p) noexcept {
    int depth = 0;
    for (;; ++p) {
        const char c = *p;
        if (c == '"') {
            for (++p; *p != '"'; ++p)
                if (*p == '\\') ++p;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            if (--depth == 0) return p + 1;
        } else if (depth == 0) {
            // A scalar ends before the next delimiter.
            while (*p != ',' && *p != ']' && *p != '}' && *p != ':' && *p != '\0') ++p;
            return p;
        }
        if (depth == 0) return p + 1;
    }
}

// Splits the elements or members of a container's compact text.
void split(std::string_view text, std::vector<std::string_view>& parts) {
    const char* p = text.data() + 1;
    const char* end = text.data() + text.size() - 1;
    while (p < end) {
        const char* start = p;
        p = skip_value(p);
        if (*p == ':') p = skip_value(p + 1);
        parts.emplace_back(start, static_cast<std::size_t>(p - start));
        ++p;  // the ","
    }
}

}  // namespace

bool texts_equal(std::string_view a, std::string_view b) {
    if (a == b) return true;
    // Reordered members keep the length; only a zero's sign changes it.
    if (a.size() != b.size() && a.find("-0.0") == std::string_view::npos &&
        b.find("-0.0") == std::string_view::npos)
        return false;
    const char ca = a[0], cb = b[0];
    if (ca == '[' || ca == '{') {
        if (cb != ca) return false;
        std::vector<std::string_view> pa, pb;
        split(a, pa);
        split(b, pb);
        if (pa.size() != pb.size()) return false;
        if (ca == '[') {
            for (std::size_t i = 0; i < pa.size(); ++i)
                if (!texts_equal(pa[i], pb[i])) return false;
            return true;
        }
        // Members as key text and value text; keys are distinct in each.
        auto key_of = [](std::string_view m) { return m.substr(0, static_cast<std::size_t>(skip_value(m.data()) - m.data())); };
        auto by_key = [&](std::string_view x, std::string_view y) { return key_of(x) < key_of(y); };
        std::sort(pa.begin(), pa.end(), by_key);
        std::sort(pb.begin(), pb.end(), by_key);
        for (std::size_t i = 0; i < pa.size(); ++i) {
            const std::string_view ka = key_of(pa[i]), kb = key_of(pb[i]);
            if (ka != kb || !texts_equal(pa[i].substr(ka.size() + 1), pb[i].substr(kb.size() + 1))) return false;
        }
        return true;
    }
    // Numbers of the same form differ in text unless both are double zeros.
    return is_double_zero(a) && is_double_zero(b);
}

}  // namespace tessik::transform::detail
