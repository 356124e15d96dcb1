#include "transform/rows.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json/key_index.hpp"
#include "transform/canonical.hpp"

namespace tessik::transform::detail {

namespace {

constexpr std::string_view row_prefix = "expected a JSON object row, got: ";

// An integer's text of at most 15 digits (integer texts are written without
// leading zeros, and never as "-0").
bool is_short_integer(std::string_view text) noexcept {
    if (text.size() > 16 || (text.size() == 16 && text[0] != '-')) return false;
    for (const char c : text)
        if ((c < '0' || c > '9') && c != '-') return false;
    return true;
}

// Inline, as rows are short: a library call per row costs more.
bool same_ids(const std::uint32_t* a, const std::uint32_t* b, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// Top-level cells: numbers match by their double value, everything else by
// value equality.
bool cells_match(const Cell& cell, const Cell& reference) {
    if (cell.kind() != reference.kind()) return false;
    // Cells are mostly as short as keys: inline word compares.
    if (json::same_key(cell.text(), reference.text())) return true;
    switch (cell.kind()) {
        case Kind::Number:
            // Integers of up to 15 digits are exact doubles: different texts,
            // different values.
            if (is_short_integer(cell.text()) && is_short_integer(reference.text())) return false;
            // Nor can two doubles, each written as the shortest digits of its
            // value, other than 0.0 and -0.0.
            if (is_double_text(cell.text()) && is_double_text(reference.text()))
                return is_double_zero(cell.text()) && is_double_zero(reference.text());
            return number_value(cell.text()) == number_value(reference.text());
        case Kind::Array:
        case Kind::Object: return texts_equal(cell.text(), reference.text());
        default: return false;
    }
}

}  // namespace

void RowSink::begin(const Byte* at, bool object) {
    switch (state_) {
        case State::Start:
            state_ = State::Top;
            return;
        case State::Top:
            if (object) {
                start_row();
                state_ = State::InRow;
                return;
            }
            // An element that is not an object: only the first is quoted.
            state_ = State::InElement;
            quiet_ = has_row_error();
            nest_ = 1;
            if (!quiet_) {
                emitter_.start(at);
                emitter_.open(at, object);
            }
            return;
        case State::InRow:
            state_ = State::InCell;
            expected_ = 0;  // its members are not the row's
            nested_kind_ = object ? Kind::Object : Kind::Array;
            nest_ = 1;
            emitter_.start(at);
            emitter_.open(at, object);
            return;
        case State::InCell:
        case State::InElement:
            ++nest_;
            if (emitting()) emitter_.open(at, object);
            return;
        case State::Done:
            return;
    }
}

void RowSink::end(const Byte* at) {
    switch (state_) {
        case State::Top:
            state_ = State::Done;
            return;
        case State::InRow:
            finish_row();
            state_ = State::Top;
            return;
        case State::InCell:
            emitter_.close(at);
            if (--nest_ == 0) {
                set_cell(Cell(emitter_.finish(), nested_kind_));
                state_ = State::InRow;
                expect_row_keys();
            }
            return;
        case State::InElement:
            if (emitting()) emitter_.close(at);
            if (--nest_ == 0) {
                if (emitting()) element_scalar(emitter_.finish());
                state_ = State::Top;
            }
            return;
        case State::Start:
        case State::Done:
            return;
    }
}

void RowSink::element_scalar(std::string_view text) {
    if (has_row_error()) return;
    row_error_.reserve(row_prefix.size() + text.size());
    row_error_.append(row_prefix);
    row_error_.append(text);
}

void RowSink::start_row() {
    row_ = Row{cells_.size(), ids_.size(), 0};
    expect_row_keys();
}

void RowSink::finish_row() {
    const std::size_t index = rows_.size();
    const Cell* cells = cells_.data() + row_.cells;
    const std::uint32_t* ids = ids_.data() + row_.ids;
    for (std::size_t i = 0; i < row_.size; ++i) {
        Column& c = columns_[ids[i]];
        c.text_bytes += cells[i].size();
        ++c.cells;
        c.holds_value |= cells[i].kind() != Kind::Null;
    }
    // Constant candidates: the first row's keys whose value is not null,
    // while every later row holds a matching value. A key that the first
    // row lacks or holds null is never constant: it is a column only if
    // some row holds another value, which cannot match.
    if (index == 0) {
        reference_.assign(cells, cells + row_.size);
        candidate_.assign(row_.size, 0);
        for (std::size_t i = 0; i < row_.size; ++i) {
            candidate_[i] = cells[i].kind() != Kind::Null;
            candidates_ += candidate_[i] != 0;
        }
    } else if (candidates_ != 0) {
        std::size_t matched = 0;
        for (std::size_t i = 0; i < row_.size; ++i) {
            const std::uint32_t id = ids[i];
            if (id >= candidate_.size() || candidate_[id] == 0) continue;
            if (cells_match(cells[i], reference_[id])) {
                ++matched;
            } else {
                candidate_[id] = 0;
                --candidates_;
            }
        }
        // A candidate missing from the row has a null cell there.
        if (matched != candidates_) {
            for (std::size_t id = 0; id < candidate_.size(); ++id) {
                if (candidate_[id] != 0 && columns_[id].row != index + 1) {
                    candidate_[id] = 0;
                    --candidates_;
                }
            }
        }
    }
    // A row with the same keys in the same order as the row before it
    // shares that row's ids.
    bool shared = false;
    if (index != 0) {
        const Row& previous = rows_.back();
        if (previous.size == row_.size && same_ids(ids, ids_.data() + previous.ids, row_.size)) {
            ids_.truncate(row_.ids);
            row_.ids = previous.ids;
            shared = true;
        }
    }
    // Rows whose keys come in an order of their own make the prediction
    // from the row before fail on nearly every key, at the cost of a
    // compare and its mispredicted branches: it is left off until a row
    // repeats the one before, or tried again every 64th row.
    if (predict_) predict_ = shared || 2 * mispredicted_ <= row_.size;
    else predict_ = shared || index % 64 == 0;
    mispredicted_ = 0;
    rows_.push_back(row_);
    expected_ = 0;  // until the next row starts
}

}  // namespace tessik::transform::detail
