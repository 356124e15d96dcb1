#include "transform/columnar.hpp"

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string_view>

#include "json/writer.hpp"

namespace tessik::transform {

using json::Member;
using json::Node;
using json::Value;

bool values_match(const Value& cell, const Value& reference) noexcept {
    if (cell.kind() == Value::Kind::Number && reference.kind() == Value::Kind::Number)
        return cell.as_number().to_double() == reference.as_number().to_double();
    return cell == reference;
}

bool values_match(const Node& cell, const Node& reference) noexcept {
    if (cell.kind() == Node::Kind::Number && reference.kind() == Node::Kind::Number)
        return cell.number_as_double() == reference.number_as_double();
    return cell == reference;
}

namespace {

const Node null_node;

// Keys are interned once per call: every member of every row gets the id
// of its column, so finding a row's cells needs no key comparison.
struct Layout {
    explicit Layout(std::pmr::memory_resource* scratch) noexcept
        : keys(scratch), member_ids(scratch), row_ids(scratch), columns(scratch), constants(scratch) {}
    std::pmr::vector<std::string_view> keys;     // by id, in order of first occurrence
    // The ids of a row's members, in member order, start at
    // member_ids[row_ids[row]]. A row with the same keys in the same order
    // as the row before it shares that row's ids.
    std::pmr::vector<std::uint32_t> member_ids;
    std::pmr::vector<std::size_t> row_ids;
    std::pmr::vector<std::uint32_t> columns;     // ids of the columns, in order
    std::pmr::vector<std::uint32_t> constants;   // ids of the constants; values are the first row's
};

// The cells of one row at a time, by column id. Each load stamps the ids it
// sets, so nothing is cleared between rows.
class RowCells {
public:
    RowCells(std::size_t ids, std::pmr::memory_resource* scratch) : slots_(ids, Slot{0, 0}, scratch) {}

    // `ids` are the row's member ids.
    void load(const Node& row, const std::uint32_t* ids) noexcept {
        members_ = row.members();
        ++stamp_;
        for (std::size_t pos = 0; pos < row.size(); ++pos) slots_[ids[pos]] = Slot{stamp_, pos};
    }
    bool has(std::uint32_t id) const noexcept { return slots_[id].stamp == stamp_; }
    // Null where the row lacks the key.
    const Node& cell(std::uint32_t id) const noexcept {
        return has(id) ? members_[slots_[id].position].value : null_node;
    }

private:
    struct Slot {
        std::size_t stamp;  // 0: never set
        std::size_t position;
    };
    std::pmr::vector<Slot> slots_;
    const Member* members_ = nullptr;
    std::size_t stamp_ = 0;
};

// Fails with the row error text on the first element that is not an object.
Result<Layout, std::string> lay_out(std::span<const Node> rows, std::pmr::memory_resource* scratch) {
    using Out = Result<Layout, std::string>;
    for (const Node& e : rows) {
        if (!e.is_object()) {
            std::string message = "expected a JSON object row, got: ";
            json::append_plain_text(e, message);
            return Out::err(std::move(message));
        }
    }
    Layout layout(scratch);
    std::pmr::vector<std::string_view>& keys = layout.keys;
    std::pmr::vector<std::uint32_t>& ids = layout.member_ids;
    ids.reserve(rows.empty() ? 0 : rows[0].size());
    layout.row_ids.reserve(rows.size());
    // Rows usually share the first row's keys.
    const std::size_t first_size = rows.empty() ? 0 : rows[0].size();
    keys.reserve(first_size);

    // Column ids in order of first occurrence across rows. A key at the same
    // position as in the previous row takes that member's id; otherwise the
    // keyed index decides. Whether a column holds a value other than null
    // is settled in the same pass.
    std::pmr::vector<char> holds_value(scratch);
    std::pmr::vector<const Node*> reference(scratch);   // by id, for the first row's keys
    std::pmr::vector<std::size_t> matched_in(scratch);  // by id: the last row that matched
    holds_value.reserve(first_size);
    {
        // Few distinct keys are found by a scan; the index is built when
        // they outgrow it.
        constexpr std::size_t max_scanned_keys = 8;
        std::optional<json::KeyIndex> seen;
        auto key_at = [&](std::size_t id) { return keys[id]; };
        const Node* previous = nullptr;
        std::size_t previous_ids = 0;
        // Constant candidates, settled in this pass while each row is in
        // cache: the first row's keys (ids below first_size) whose value is
        // not null, while every later row holds a matching value. A key
        // whose first value is null or missing is never constant: it is a
        // column only if some row holds another value, which cannot match.
        reference.assign(first_size, nullptr);
        matched_in.assign(first_size, 0);
        std::size_t candidates = 0;
        std::size_t row_index = 0;
        for (const Node& row : rows) {
            std::size_t row_ids = ids.size();
            std::size_t pos = 0;
            bool shared = false;
            if (previous != nullptr && row.size() == previous->size()) {
                while (pos < row.size() && json::same_key(previous->members()[pos].key_view(),
                                                          row.members()[pos].key_view()))
                    ++pos;
                if (pos == row.size()) {
                    shared = true;
                    row_ids = previous_ids;
                } else {
                    // push_back may take an element of the vector itself.
                    for (std::size_t i = 0; i < pos; ++i) ids.push_back(ids[previous_ids + i]);
                }
            }
            for (; !shared && pos < row.size(); ++pos) {
                const Member& m = row.members()[pos];
                const std::string_view key = m.key_view();
                std::size_t id;
                if (previous != nullptr && pos < previous->size() &&
                    json::same_key(previous->members()[pos].key_view(), key)) {
                    id = ids[previous_ids + pos];
                } else {
                    id = json::KeyIndex::npos;
                    if (keys.size() < max_scanned_keys) {
                        for (std::size_t k = 0; k < keys.size(); ++k) {
                            if (json::same_key(keys[k], key)) {
                                id = k;
                                break;
                            }
                        }
                    } else {
                        if (!seen) {
                            seen.emplace();
                            for (std::size_t k = 0; k < keys.size(); ++k) seen->find_or_insert(keys[k], k, key_at);
                        }
                        id = seen->find_or_insert(key, keys.size(), key_at);
                    }
                    if (id == json::KeyIndex::npos) {
                        id = keys.size();
                        keys.push_back(key);
                        holds_value.push_back(0);
                    }
                }
                // 32 bits suffice: each id stands for a distinct key held in
                // a 32-byte member, and 2^32 of those cannot fit in memory.
                ids.push_back(static_cast<std::uint32_t>(id));
            }
            for (std::size_t i = 0; i < row.size(); ++i)
                holds_value[ids[row_ids + i]] |= static_cast<char>(!row.members()[i].value.is_null());
            if (row_index == 0) {
                // The first row's ids are 0, 1, ... in member order.
                for (std::size_t i = 0; i < row.size(); ++i) {
                    const Node& value = row.members()[i].value;
                    if (!value.is_null()) {
                        reference[i] = &value;
                        ++candidates;
                    }
                }
            } else if (candidates != 0) {
                std::size_t matched = 0;
                for (std::size_t i = 0; i < row.size(); ++i) {
                    const std::uint32_t id = ids[row_ids + i];
                    if (id >= first_size || reference[id] == nullptr) continue;
                    if (values_match(row.members()[i].value, *reference[id])) {
                        matched_in[id] = row_index;
                        ++matched;
                    } else {
                        reference[id] = nullptr;
                        --candidates;
                    }
                }
                // A candidate missing from the row has a null cell there.
                for (std::size_t id = 0; matched != candidates && id < first_size; ++id) {
                    if (reference[id] != nullptr && matched_in[id] != row_index) {
                        reference[id] = nullptr;
                        --candidates;
                    }
                }
            }
            ++row_index;
            layout.row_ids.push_back(row_ids);
            previous = &row;
            previous_ids = row_ids;
        }
    }

    // Null keys, where no row holds a value other than null, are dropped.
    layout.columns.reserve(keys.size());
    for (std::size_t id = 0; id < keys.size(); ++id)
        if (holds_value[id]) layout.columns.push_back(static_cast<std::uint32_t>(id));

    // Constant keys, only with at least two rows: the candidates left.
    if (rows.size() >= 2) {
        for (std::size_t id = 0; id < first_size; ++id)
            if (reference[id] != nullptr) layout.constants.push_back(static_cast<std::uint32_t>(id));
        if (!layout.constants.empty()) {
            std::size_t kept = 0;
            for (std::uint32_t id : layout.columns)
                if (id >= first_size || reference[id] == nullptr) layout.columns[kept++] = id;
            layout.columns.resize(kept);
        }
    }
    return Out::ok(std::move(layout));
}

std::vector<Node> as_nodes(const std::vector<Value>& elements, json::Arena& arena) {
    std::vector<Node> nodes;
    nodes.reserve(elements.size());
    for (const Value& e : elements) nodes.push_back(json::to_node(e, arena));
    return nodes;
}

}  // namespace

Result<Value, std::string> columnarize_rows(std::vector<Value> elements) {
    using Out = Result<Value, std::string>;
    json::Arena arena;
    const std::vector<Node> rows = as_nodes(elements, arena);
    std::pmr::memory_resource* scratch = std::pmr::get_default_resource();
    auto planned = lay_out(rows, scratch);
    if (!planned) return Out::err(std::move(planned.error()));
    const Layout& layout = planned.value();
    RowCells cells(layout.keys.size(), scratch);

    // Row values: one array per row, each allocated once at its final size.
    json::Array row_values;
    row_values.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        cells.load(rows[i], layout.member_ids.data() + layout.row_ids[i]);
        json::Array values;
        values.reserve(layout.columns.size());
        for (std::uint32_t id : layout.columns) values.push_back(json::to_value(cells.cell(id)));
        row_values.emplace_back(std::move(values));
    }

    json::Array names;
    names.reserve(layout.columns.size());
    for (std::uint32_t id : layout.columns) names.emplace_back(json::String(layout.keys[id]));

    json::Map constant_values;
    if (!rows.empty()) cells.load(rows[0], layout.member_ids.data());
    for (std::uint32_t id : layout.constants)
        constant_values.insert_full(json::String(layout.keys[id]), json::to_value(cells.cell(id)));

    json::Map document;
    document.insert_full("columns", Value(std::move(names)));
    document.insert_full("rows", Value(std::move(row_values)));
    document.insert_full("constants", Value(std::move(constant_values)));
    return Out::ok(Value(std::move(document)));
}

std::string write_columnar(std::span<const Node> rows, json::Buffer& out, std::pmr::memory_resource* scratch) {
    auto planned = lay_out(rows, scratch);
    if (!planned) return std::move(planned.error());
    const Layout& layout = planned.value();
    RowCells cells(layout.keys.size(), scratch);

    out.append(R"({"columns":[)");
    for (std::size_t c = 0; c < layout.columns.size(); ++c) {
        if (c != 0) out.push(',');
        json::write_string(layout.keys[layout.columns[c]], out);
    }
    out.append(R"(],"rows":[)");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i != 0) out.push(',');
        out.push('[');
        cells.load(rows[i], layout.member_ids.data() + layout.row_ids[i]);
        for (std::size_t c = 0; c < layout.columns.size(); ++c) {
            if (c != 0) out.push(',');
            json::write_to_buffer(cells.cell(layout.columns[c]), out);
        }
        out.push(']');
    }
    out.append(R"(],"constants":{)");
    if (!rows.empty()) cells.load(rows[0], layout.member_ids.data());
    for (std::size_t c = 0; c < layout.constants.size(); ++c) {
        if (c != 0) out.push(',');
        json::write_string(layout.keys[layout.constants[c]], out);
        out.push(':');
        json::write_to_buffer(cells.cell(layout.constants[c]), out);
    }
    out.append("}}");
    return std::string();
}

std::string write_columnar(const std::vector<Value>& elements, json::Buffer& out) {
    json::Arena arena;
    const std::vector<Node> rows = as_nodes(elements, arena);
    return write_columnar(rows, out, arena.scratch());
}

}  // namespace tessik::transform
