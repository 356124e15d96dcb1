#include "json/node.hpp"

#include <algorithm>
#include <optional>

namespace tessik::json {

void Arena::grow(std::size_t n) {
    if (n > SIZE_MAX / 2) throw std::bad_alloc();
    const std::size_t size = std::max(next_block_, n + sizeof(Block));
    auto* block = static_cast<Block*>(std::malloc(size));
    if (block == nullptr) throw std::bad_alloc();
    block->previous = head_;
    head_ = block;
    cur_ = reinterpret_cast<char*>(block + 1);
    end_ = reinterpret_cast<char*>(block) + size;
    if (next_block_ <= SIZE_MAX / 4) next_block_ *= 2;
}

Node Node::number(const Number& n) noexcept {
    Node v(Kind::Number, static_cast<std::uint64_t>(n.form()) << kFormShift, 0);
    switch (n.form()) {
        case Number::Form::Unsigned: v.u_ = n.as_u64(); break;
        case Number::Form::Negative: v.i_ = n.as_i64(); break;
        case Number::Form::Double: v.d_ = n.as_double(); break;
    }
    return v;
}

Number Node::as_number() const noexcept {
    switch (static_cast<Number::Form>((meta_ >> kFormShift) & 3)) {
        case Number::Form::Unsigned: return Number::from_u64(u_);
        case Number::Form::Negative: return Number::from_i64(i_);
        case Number::Form::Double: break;
    }
    // Built from a finite Number only.
    return *Number::from_double(d_);
}

namespace {

// Keys short enough to compare by scanning rather than indexing.
constexpr std::size_t max_scanned_members = 16;

bool objects_equal(const Node& a, const Node& b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const Member* am = a.members();
    const Member* bm = b.members();
    auto key_at = [&](std::size_t i) { return bm[i].key_view(); };
    // Same order is checked first. Members of both are unique, so a miss is
    // settled by a scan (small objects) or an index of b's keys (large).
    std::optional<KeyIndex> index;
    bool index_failed = false;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view key = am[i].key_view();
        const Node* other = nullptr;
        if (same_key(bm[i].key_view(), key)) {
            other = &bm[i].value;
        } else {
            bool scan = n <= max_scanned_members || index_failed;
            if (!scan) {
                try {
                    if (!index) {
                        index.emplace();
                        for (std::size_t j = 0; j < n; ++j) index->find_or_insert(bm[j].key_view(), j, key_at);
                    }
                    // A missing key is recorded at n, but the answer is then false.
                    const std::size_t j = index->find_or_insert(key, n, key_at);
                    if (j != KeyIndex::npos) other = &bm[j].value;
                } catch (const std::bad_alloc&) {
                    index.reset();
                    index_failed = scan = true;
                }
            }
            for (std::size_t j = 0; scan && j < n; ++j) {
                if (same_key(bm[j].key_view(), key)) {
                    other = &bm[j].value;
                    break;
                }
            }
        }
        if (other == nullptr || !(am[i].value == *other)) return false;
    }
    return true;
}

}  // namespace

bool operator==(const Node& a, const Node& b) noexcept {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Node::Kind::Null: return true;
        case Node::Kind::Bool: return a.as_bool() == b.as_bool();
        case Node::Kind::Number: return a.as_number() == b.as_number();
        case Node::Kind::String: return a.as_string() == b.as_string();
        case Node::Kind::Array: {
            if (a.size() != b.size()) return false;
            for (std::size_t i = 0; i < a.size(); ++i)
                if (!(a.items()[i] == b.items()[i])) return false;
            return true;
        }
        case Node::Kind::Object: return objects_equal(a, b);
    }
    return false;
}

Value to_value(const Node& node) {
    switch (node.kind()) {
        case Node::Kind::Null: return Value();
        case Node::Kind::Bool: return Value(node.as_bool());
        case Node::Kind::Number: return Value(node.as_number());
        case Node::Kind::String: return Value(String(node.as_string()));
        case Node::Kind::Array: {
            Array items;
            items.reserve(node.size());
            for (std::size_t i = 0; i < node.size(); ++i) items.push_back(to_value(node.items()[i]));
            return Value(std::move(items));
        }
        case Node::Kind::Object: {
            Map map;
            for (std::size_t i = 0; i < node.size(); ++i) {
                const Member& m = node.members()[i];
                map.insert_full(String(m.key_view()), to_value(m.value));
            }
            return Value(std::move(map));
        }
    }
    return Value();
}

Node to_node(const Value& value, Arena& arena) {
    switch (value.kind()) {
        case Value::Kind::Null: return Node();
        case Value::Kind::Bool: return Node::boolean(value.as_bool());
        case Value::Kind::Number: return Node::number(value.as_number());
        case Value::Kind::String: return Node::string(value.as_string().data(), value.as_string().size(), false);
        case Value::Kind::Array: {
            const Array& a = value.as_array();
            if (a.empty()) return Node::array(nullptr, 0);
            auto* items = static_cast<Node*>(arena.allocate(a.size() * sizeof(Node)));
            for (std::size_t i = 0; i < a.size(); ++i) new (&items[i]) Node(to_node(a[i], arena));
            return Node::array(items, a.size());
        }
        case Value::Kind::Object: {
            const Map& m = value.as_object();
            if (m.empty()) return Node::object(nullptr, 0);
            auto* members = static_cast<Member*>(arena.allocate(m.size() * sizeof(Member)));
            for (std::size_t i = 0; i < m.size(); ++i) {
                const Bucket& b = m.entry(i);
                new (&members[i]) Member(Member::make(b.key, to_node(b.value, arena), arena));
            }
            return Node::object(members, m.size());
        }
    }
    return Node();
}

KeyIndex::KeyIndex() noexcept { draw_hash_keys(k0_, k1_); }

void KeyIndex::clear() noexcept {
    // A large table is dropped rather than wiped, so that many small uses
    // after one large one stay linear.
    if (slots_.size() > 64) std::vector<Slot>().swap(slots_);
    else std::fill(slots_.begin(), slots_.end(), Slot{0, 0});
    used_ = 0;
}

std::uint32_t KeyIndex::hash(std::string_view key) const noexcept {
    return static_cast<std::uint32_t>(siphash13(k0_, k1_, key));
}

void KeyIndex::grow() {
    const std::size_t size = slots_.empty() ? 32 : slots_.size() * 2;
    std::vector<Slot> bigger(size, Slot{0, 0});
    const std::size_t mask = size - 1;
    for (const Slot& s : slots_) {
        if (s.position_plus_1 == 0) continue;
        std::size_t i = s.hash & mask;
        while (bigger[i].position_plus_1 != 0) i = (i + 1) & mask;
        bigger[i] = s;
    }
    slots_.swap(bigger);
}

}  // namespace tessik::json
