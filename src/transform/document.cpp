// The column-oriented document, written from what RowSink settled while
// reading: its exact size first, then its text, once, into room of that size.
#include "transform/rows.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "json/buffer.hpp"
#include "json/portable.hpp"
#include "json/scratch.hpp"
#include "transform/entry.hpp"

namespace tessik::transform::detail {

namespace {

// The document's text, written into room of its computed size. Every write
// is checked against the end, so that a miscomputed size is reported
// instead of overrunning memory the caller made.
class Placed {
public:
    Placed(char* data, std::size_t size) noexcept : p_(data), end_(data + size) {}
    void push(char c) {
        if (p_ == end_) overrun();
        *p_++ = c;
    }
    void append(const char* text, std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n) overrun();
        json::copy_bytes(p_, text, n);
        p_ += n;
    }
    void append(std::string_view text) { append(text.data(), text.size()); }
    // A cell's text. One of up to 16 bytes that starts in the input below
    // offset `safe`, so that 16 bytes of the input follow its start, is
    // moved as 16 bytes, without a branch on its length: the bytes past it
    // are written over by what follows, as the document fills its room
    // exactly.
    void append_cell(std::string_view text, const char* input, std::size_t safe) {
        if (text.size() <= 16 &&
            reinterpret_cast<std::uintptr_t>(text.data()) - reinterpret_cast<std::uintptr_t>(input) < safe &&
            static_cast<std::size_t>(end_ - p_) >= 16) [[likely]] {
            std::memcpy(p_, text.data(), 16);
            p_ += text.size();
            return;
        }
        append(text);
    }
    // A run of null cells from text, which holds at least kRun readable
    // bytes; up to kRun bytes are moved as kRun, as cells are as 16.
    static constexpr std::size_t kRun = 128;
    void append_run(const char* text, std::size_t n) {
        if (n > kRun || static_cast<std::size_t>(end_ - p_) < kRun) return append(text, n);
        for (std::size_t i = 0; i < kRun; i += 16) std::memcpy(p_ + i, text + i, 16);
        p_ += n;
    }
    void finish() const {
        if (p_ != end_) overrun();
    }

private:
    [[noreturn]] static void overrun() {
        throw std::logic_error("the written document differs from its computed size");
    }
    char* p_;
    char* const end_;
};

// Prefetches memory that is read roughly in ascending order, a fixed
// distance ahead of the latest position. A jump backwards or far ahead
// restarts it there, so each call prefetches a bounded number of lines.
class Ahead {
public:
    void reach(const void* at) noexcept {
        const std::uintptr_t target = reinterpret_cast<std::uintptr_t>(at) + kDistance;
        if (target < next_ || target - next_ > 4 * kDistance) next_ = target - kLine;
        for (; next_ < target; next_ += kLine) json::portable::prefetch(reinterpret_cast<const void*>(next_));
    }

private:
    static constexpr std::uintptr_t kDistance = 1024, kLine = 64;
    std::uintptr_t next_ = 0;
};

}  // namespace

std::size_t RowSink::write_document(OutputRoom& target, std::string_view input) {
    const std::size_t rows = rows_.size();
    // Null keys, where no row holds a value other than null, are dropped;
    // constants (only with at least two rows) are stated once.
    json::ScratchVector<std::uint32_t> columns(&memory_), constants(&memory_);
    columns.reserve(keys_.size());
    for (std::size_t id = 0; id < keys_.size(); ++id) {
        if (!columns_[id].holds_value) continue;
        if (rows >= 2 && id < candidate_.size() && candidate_[id] != 0) constants.push_back(static_cast<std::uint32_t>(id));
        else columns.push_back(static_cast<std::uint32_t>(id));
    }

    // The exact size, so the text is written once, into its final place.
    constexpr std::string_view head = R"({"columns":[)", mid = R"(],"rows":[)", tail = R"(],"constants":{)";
    std::uint64_t size = head.size() + mid.size() + tail.size() + 2;
    std::uint64_t missing = 0;  // cells written as null for a missing key
    for (std::uint32_t id : columns) {
        const Column& c = columns_[id];
        size += keys_[id].size() + 3 + c.text_bytes + 4 * (rows - c.cells) + rows;
        missing += rows - c.cells;
    }
    if (!columns.empty()) size -= 1 + rows;  // one comma fewer per list
    size += 2 * rows + (rows != 0 ? rows - 1 : 0);
    for (std::uint32_t id : constants) size += keys_[id].size() + 4 + reference_[id].size();
    if (!constants.empty()) size -= 1;

    Placed out(target.room(static_cast<std::size_t>(size)), static_cast<std::size_t>(size));
    // Cells that start at these offsets of the input have 16 bytes of it.
    const std::size_t safe = input.size() < 16 ? 0 : input.size() - 15;
    out.append(head);
    for (std::size_t c = 0; c < columns.size(); ++c) {
        if (c != 0) out.push(',');
        out.push('"');
        out.append(keys_[columns[c]]);
        out.push('"');
    }
    out.append(mid);
    // Each key's column, or -1 for a key that is not a column.
    json::ScratchVector<std::int64_t> column_of(keys_.size(), -1, &memory_);
    for (std::size_t c = 0; c < columns.size(); ++c) column_of[columns[c]] = static_cast<std::int64_t>(c);
    // ",null" once per column, and as many more as a short run reads: a run
    // of missing cells is written as one copy.
    const std::size_t null_cells = missing == 0 ? 0 : columns.size() + Placed::kRun / 5 + 1;
    json::ScratchVector<char> nulls(5 * null_cells, ',', &memory_);
    for (std::size_t c = 0; c < null_cells; ++c) std::memcpy(nulls.data() + 5 * c + 1, "null", 4);
    // The current key list's cells in column order: member[c] when the
    // list holds every column, else as (column, member), by marking its
    // columns in a bit set and reading the marks in order; rebuilt only
    // when a row's list differs from the one before. Rows share a key list
    // only with the row before; an empty row's list starts where the next
    // row's does, hence the size in the comparison.
    struct Present {
        std::uint32_t column;
        std::uint32_t member;
    };
    json::ScratchVector<Present> present(columns.size(), Present{}, &memory_);
    std::size_t n = 0;  // entries in present, or every column
    json::ScratchVector<std::uint64_t> marks((columns.size() + 63) / 64, 0, &memory_);
    json::ScratchVector<std::uint32_t> member(columns.size(), 0, &memory_);
    const Row* mapped = nullptr;
    // A row's cells are read in column order, not in the order they lie in
    // memory, which defeats the hardware's prefetching of both the cells
    // and their texts (mostly in the input, in row order): both are fetched
    // a little ahead of the row being written. Not for small documents,
    // which are in the cache already, nor for rows of a few cells, read
    // nearly in order, which the hardware follows for less than fetching
    // costs per row.
    Ahead cells_ahead, texts_ahead;
    const bool fetch_ahead = cells_.size() > 4096 && cells_.size() >= 4 * rows;
    for (std::size_t r = 0; r < rows; ++r) {
        const Row& row = rows_[r];
        // The cells behind are read no more; the document grows into fresh
        // pages as they go.
        if (r % 1024 == 0) cells_.release_before(row.cells);
        if (fetch_ahead) {
            cells_ahead.reach(cells_.data() + row.cells);
            if (row.size != 0) texts_ahead.reach(cells_[row.cells].text().data());
        }
        if (mapped == nullptr || row.ids != mapped->ids || row.size != mapped->size) {
            mapped = &row;
            n = 0;
            for (std::size_t i = 0; i < row.size; ++i) {
                const std::int64_t c = column_of[ids_[row.ids + i]];
                if (c < 0) continue;
                marks[static_cast<std::size_t>(c) / 64] |= std::uint64_t{1} << (c % 64);
                member[static_cast<std::size_t>(c)] = static_cast<std::uint32_t>(i);
                ++n;
            }
            // A row's keys are distinct: as many as the columns is every
            // column, whose members member[] gives in order.
            if (n == columns.size()) {
                std::fill(marks.begin(), marks.end(), 0);
            } else {
                n = 0;
                for (std::size_t w = 0; w < marks.size(); ++w) {
                    for (std::uint64_t bits = std::exchange(marks[w], 0); bits != 0; bits &= bits - 1) {
                        const std::size_t c = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
                        present[n++] = {static_cast<std::uint32_t>(c), member[c]};
                    }
                }
            }
        }
        if (r != 0) out.push(',');
        out.push('[');
        const Cell* cells = cells_.data() + row.cells;
        if (n == columns.size()) {
            // Every column present: no runs of nulls to look for.
            for (std::size_t c = 0; c < n; ++c) {
                if (c != 0) out.push(',');
                out.append_cell(cells[member[c]].text(), input.data(), safe);
            }
            out.push(']');
            continue;
        }
        std::size_t next = 0;  // the first column not yet written
        // The missing cells from `next` up to column c, as one copy; no
        // comma before the first column.
        const auto nulls_until = [&](std::size_t c) {
            if (c == next) return;
            const std::size_t first = next == 0;
            out.append_run(nulls.data() + first, 5 * (c - next) - first);
        };
        for (std::size_t k = 0; k < n; ++k) {
            const Present& p = present[k];
            nulls_until(p.column);
            if (p.column != 0) out.push(',');
            out.append_cell(cells[p.member].text(), input.data(), safe);
            next = p.column + 1;
        }
        nulls_until(columns.size());
        out.push(']');
    }
    out.append(tail);
    for (std::size_t c = 0; c < constants.size(); ++c) {
        if (c != 0) out.push(',');
        out.push('"');
        out.append(keys_[constants[c]]);
        out.append("\":", 2);
        const std::string_view text = reference_[constants[c]].text();
        out.append(text.data(), text.size());
    }
    out.append("}}", 2);
    out.finish();
    return static_cast<std::size_t>(size);
}

}  // namespace tessik::transform::detail
