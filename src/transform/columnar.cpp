#include "transform/columnar.hpp"

#include <cstddef>
#include <string_view>

#include "json/writer.hpp"

namespace tessik::transform {

using json::Array;
using json::Map;
using json::Value;

namespace {

const Value null_value;

// Rows of a tool result nearly always list their keys in the same order,
// so each column remembers the position where it was last found and checks
// that entry with one byte comparison before hashing.
struct Column {
    std::string_view key;  // points into a row map, which outlives the call
    std::size_t hint = 0;
};

inline const Value* find(const Map& row, Column& col) noexcept {
    if (col.hint < row.size()) {
        const json::Bucket& b = row.entry(col.hint);
        if (b.key == col.key) return &b.value;
    }
    const std::size_t pos = row.position_of(col.key);
    if (pos == Map::npos) return nullptr;
    col.hint = pos;
    return &row.entry(pos).value;
}

// The row's value under the key; Null where the row lacks it.
inline const Value& cell_of(const Map& row, Column& col) noexcept {
    const Value* v = find(row, col);
    return v != nullptr ? *v : null_value;
}

}  // namespace

bool values_match(const Value& cell, const Value& reference) noexcept {
    if (cell.kind() == Value::Kind::Number && reference.kind() == Value::Kind::Number)
        return cell.as_number().to_double() == reference.as_number().to_double();
    return cell == reference;
}

namespace {

// Which keys become columns and which constants, in column order. The keys
// point into the row maps, which outlive the layout.
struct Layout {
    std::vector<Column> columns;
    std::vector<Column> constants;  // values are the first row's
};

// Fails with the row error text on the first element that is not an object.
Result<Layout, std::string> lay_out(const std::vector<Value>& elements) {
    using Out = Result<Layout, std::string>;
    for (const Value& e : elements) {
        if (!e.is_object()) {
            std::string message = "expected a JSON object row, got: ";
            json::append_plain_text(e, message);
            return Out::err(std::move(message));
        }
    }
    const std::size_t row_count = elements.size();
    auto row = [&](std::size_t i) -> const Map& { return elements[i].as_object(); };
    Layout layout;
    std::vector<Column>& columns = layout.columns;

    // Column keys, in order of first occurrence across rows, and whether
    // any row holds a value other than null under each, in one pass over
    // every entry (checking each key row by row afterwards is quadratic when
    // many rows each bring a key of their own). A key at the same position
    // as in the previous row is the same column; otherwise the keyed
    // seen-map gives its column number.
    {
        Map seen_keys;
        std::vector<char> holds_value;
        std::vector<std::size_t> ids, previous_ids;
        const Map* previous = nullptr;
        for (std::size_t i = 0; i < row_count; ++i) {
            const Map& r = row(i);
            ids.resize(r.size());
            for (std::size_t pos = 0; pos < r.size(); ++pos) {
                const json::Bucket& b = r.entry(pos);
                std::size_t id;
                if (previous != nullptr && pos < previous->size() && previous->entry(pos).key == b.key) {
                    id = previous_ids[pos];
                } else if (const Value* known = seen_keys.get(b.key)) {
                    id = known->as_number().as_u64();
                } else {
                    id = columns.size();
                    seen_keys.insert_full(b.key, Value::from_u64(id));
                    columns.push_back(Column{b.key, pos});
                    holds_value.push_back(0);
                }
                ids[pos] = id;
                if (!b.value.is_null()) holds_value[id] = 1;
            }
            std::swap(ids, previous_ids);
            previous = &r;
        }

        // Null keys: no row holds a value other than null.
        std::size_t kept = 0;
        for (std::size_t c = 0; c < columns.size(); ++c)
            if (holds_value[c]) columns[kept++] = columns[c];
        columns.resize(kept);
    }

    // Constant keys, only with at least two rows: every row's cell matches
    // the first row's. A key the first row lacks or holds null has a Null
    // reference, and as it is not a null key some row differs from it: it
    // stays a column without a scan.
    if (row_count >= 2) {
        std::size_t kept = 0;
        for (Column col : columns) {
            const Value* first = find(row(0), col);
            if (first == nullptr || first->is_null()) {
                columns[kept++] = col;
                continue;
            }
            const Value& reference = *first;
            bool constant = true;
            for (std::size_t i = 1; i < row_count && constant; ++i)
                constant = values_match(cell_of(row(i), col), reference);
            if (constant) layout.constants.push_back(col);
            else columns[kept++] = col;
        }
        columns.resize(kept);
    }
    return Out::ok(std::move(layout));
}

}  // namespace

Result<Value, std::string> columnarize_rows(std::vector<Value> elements) {
    using Out = Result<Value, std::string>;
    auto planned = lay_out(elements);
    if (!planned) return Out::err(std::move(planned.error()));
    Layout& layout = planned.value();

    // Row values: one array per row, each allocated once at its final size.
    Array rows;
    rows.reserve(elements.size());
    for (const Value& e : elements) {
        Array cells;
        cells.reserve(layout.columns.size());
        for (Column& col : layout.columns) cells.push_back(cell_of(e.as_object(), col));
        rows.emplace_back(std::move(cells));
    }

    Array names;
    names.reserve(layout.columns.size());
    for (const Column& col : layout.columns) names.emplace_back(std::string(col.key));

    Map constant_values;
    for (Column& col : layout.constants)
        constant_values.insert_full(std::string(col.key), cell_of(elements.front().as_object(), col));

    Map document;
    document.insert_full("columns", Value(std::move(names)));
    document.insert_full("rows", Value(std::move(rows)));
    document.insert_full("constants", Value(std::move(constant_values)));
    return Out::ok(Value(std::move(document)));
}

std::string write_columnar(const std::vector<Value>& elements, json::Buffer& out) {
    auto planned = lay_out(elements);
    if (!planned) return std::move(planned.error());
    Layout& layout = planned.value();

    out.append(R"({"columns":[)");
    for (std::size_t c = 0; c < layout.columns.size(); ++c) {
        if (c != 0) out.push(',');
        json::write_string(layout.columns[c].key, out);
    }
    out.append(R"(],"rows":[)");
    for (std::size_t i = 0; i < elements.size(); ++i) {
        if (i != 0) out.push(',');
        out.push('[');
        const Map& row = elements[i].as_object();
        for (std::size_t c = 0; c < layout.columns.size(); ++c) {
            if (c != 0) out.push(',');
            json::write_to_buffer(cell_of(row, layout.columns[c]), out);
        }
        out.push(']');
    }
    out.append(R"(],"constants":{)");
    for (std::size_t c = 0; c < layout.constants.size(); ++c) {
        if (c != 0) out.push(',');
        json::write_string(layout.constants[c].key, out);
        out.push(':');
        json::write_to_buffer(cell_of(elements.front().as_object(), layout.constants[c]), out);
    }
    out.append("}}");
    return std::string();
}

}  // namespace tessik::transform
