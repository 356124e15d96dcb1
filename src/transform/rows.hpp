// The rows and columns as the reader reports them: each key interned as a
// column id, each value kept as a cell, and what the document needs settled
// row by row. The token handlers are here, for the reader instantiated in
// columnar.cpp to inline them; the handlers of containers and whole rows
// are in rows.cpp, and the document is written in document.cpp.
// Internal to src/transform/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "json/buffer.hpp"
#include "json/key_index.hpp"
#include "json/pod_array.hpp"
#include "json/portable.hpp"
#include "json/reader.hpp"
#include "json/scratch.hpp"
#include "json/writer.hpp"
#include "transform/canonical.hpp"
#include "transform/cells.hpp"
#include "transform/entry.hpp"

namespace tessik::transform::detail {

// Reads the rows: each key of a row is interned as a column id, each value
// kept as a Cell. Constant candidates and the cells' sizes are settled row
// by row, so the document is written in one pass at its exact size.
class RowSink {
public:
    // Inlined into the entry point: a small payload's call is short enough
    // for a call more to show.
    TESSIK_ALWAYS_INLINE RowSink()
        : emitter_(scratch_, store_, &memory_),
          keys_(&memory_),
          columns_(&memory_),
          rows_(&memory_),
          reference_(&memory_),
          candidate_(&memory_) {
        // Room for a few typical rows from the inline storage, so that
        // small payloads grow nothing; beyond that the vectors grow as the
        // rows come; a guess from the payload's size would reserve memory
        // that nested values never use.
        keys_.reserve(16);
        columns_.reserve(16);
        rows_.reserve(16);
    }

    // Reader events; escaped strings come in the writer's form.
    static constexpr bool written_strings = true;
    void begin_array(const Byte* at) { begin(at, false); }
    void begin_object(const Byte* at) { begin(at, true); }
    void end_array(const Byte* at) { end(at); }
    void end_object(const Byte* at) { end(at); }
    void key(const StringToken& t);
    // The key where the row before had it, while rows repeat their keys in
    // order: the reader matches it without scanning. Keys are views of
    // quoted texts, in the input or the store.
    TESSIK_ALWAYS_INLINE std::string_view expected_key() const noexcept {
        if (row_.size >= expected_) return {};
        return keys_[ids_[rows_.back().ids + row_.size]];
    }
    TESSIK_ALWAYS_INLINE void expected_key_came() { take_key(ids_[rows_.back().ids + row_.size]); }
    void string(const StringToken& t);
    void number(const NumberToken& t);
    void literal(Kind kind, bool, const Byte* begin, const Byte* end);
    // A cell's nested value comes whole, with its compact text, unless it
    // repeats a key. Counted as a miss until it does: a column whose values
    // keep needing the full read is skimmed only now and then, since a
    // skim that fails late costs a second read of most of the value.
    bool skims() noexcept {
        if (state_ != State::InRow) return false;
        Column& c = columns_[cell_column_];
        if (c.skim_misses >= kMaxSkimMisses && rows_.size() % kSkimRetryRows != 0) return false;
        if (c.skim_misses < kMaxSkimMisses) ++c.skim_misses;
        return true;
    }
    static std::string_view written_number(const NumberToken& t, char* buf) { return number_text(t, buf); }
    Piece& skim_text() noexcept { return skimmed_; }
    void written_value(std::string_view text, bool object) {
        columns_[cell_column_].skim_misses = 0;
        set_cell(Cell(text, object ? Kind::Object : Kind::Array));
    }

    // After a successful read.
    bool has_row_error() const noexcept { return !row_error_.empty(); }
    std::string take_row_error() { return std::move(row_error_); }
    // Writes the document into target.room(its size); returns the size.
    // `input` is the payload that the cells' texts may lie in.
    std::size_t write_document(OutputRoom& target, std::string_view input);

private:
    enum class State : std::uint8_t { Start, Top, InRow, InCell, InElement, Done };
    struct Column {
        std::uint64_t text_bytes = 0;  // of its cells over all rows
        std::uint64_t cells = 0;       // rows that have it
        std::uint64_t row = 0;         // 1 + the last row that had it
        std::uint32_t position = 0;    // its member position in that row
        bool holds_value = false;
        std::uint8_t skim_misses = 0;  // in a row, up to kMaxSkimMisses
    };
    static constexpr std::uint8_t kMaxSkimMisses = 4;
    static constexpr std::size_t kSkimRetryRows = 32;
    struct Row {
        std::size_t cells;  // first cell in cells_
        std::size_t ids;    // first id in ids_ (shared with earlier rows)
        std::size_t size;
    };

    // Inside a cell's value, or the first element that is not an object.
    bool emitting() const noexcept { return state_ == State::InCell || !quiet_; }
    void begin(const Byte* at, bool object);
    void end(const Byte* at);
    // Inlined into begin() and end() in rows.cpp, their only callers.
    TESSIK_ALWAYS_INLINE void start_row();
    TESSIK_ALWAYS_INLINE void finish_row();
    void expect_row_keys() noexcept { expected_ = predict_ && !rows_.empty() ? rows_.back().size : 0; }
    void set_cell(Cell cell);
    void element_scalar(std::string_view text);
    std::uint32_t intern(std::string_view key);
    // The row's next member has the key of column `id`.
    void take_key(std::uint32_t id);
    // A cell of the given text, which is either a view of the token's input
    // [begin, end) or a scratch text, kept unless the input holds it.
    Cell keep(std::string_view text, const Byte* begin, const Byte* end, Kind kind) {
        const std::string_view input = span(begin, end);
        const bool in_input = text.data() >= input.data() && text.data() + text.size() <= input.data() + input.size();
        if (in_input) return Cell(text, kind);
        if (text == input) return Cell(input, kind);
        return Cell(std::string_view(store_.keep(text), text.size()), kind);
    }

    State state_ = State::Start;
    std::size_t nest_ = 0;  // open containers of the cell or element being read
    bool quiet_ = false;    // an element after the first that is not an object
    Kind nested_kind_ = Kind::Null;
    // Declared first: the vectors below allocate from it.
    json::Scratch memory_;
    Buffer scratch_;
    TextStore store_;
    Emitter emitter_;
    Piece skimmed_{store_};  // a nested cell's text, when it is not the input's
    std::string row_error_;

    // Column ids in order of first occurrence, and what the rows hold.
    json::ScratchVector<std::string_view> keys_;
    json::ScratchVector<Column> columns_;
    struct KeyLookup {
        json::KeyIndex keys;
        json::RecentKeys recent;  // consulted first: rows vary their key order
    };
    std::optional<KeyLookup> index_;  // made when the keys outgrow a scan

    json::PodArray<Cell, 64> cells_;
    json::PodArray<std::uint32_t, 64> ids_;
    json::ScratchVector<Row> rows_;
    Row row_{};              // the row being read
    std::size_t slot_ = 0;   // its member that the next value fills
    bool predict_ = true;    // look for each key where the row before had it
    // Members of the row that expected_key() may look up: the row before's
    // size while predicting and in the row's own members, else 0.
    std::size_t expected_ = 0;
    std::size_t mispredicted_ = 0;  // keys of this row found elsewhere
    std::uint32_t cell_column_ = 0;  // the column of that member

    // Constant candidates: the first row's cells by id, while every later
    // row holds a matching one.
    json::ScratchVector<Cell> reference_;
    json::ScratchVector<char> candidate_;
    std::size_t candidates_ = 0;
};

// The token handlers are inlined into the reader, each with what it calls
// here: a call per token costs short rows more than the handling.
TESSIK_ALWAYS_INLINE void RowSink::key(const StringToken& t) {
    if (state_ != State::InRow) {
        if (emitting()) emitter_.key(t);
        return;
    }
    // The key's compact text without quotes: the input's unless escapes
    // change it.
    std::string_view key = t.text;
    if (t.compact) {
        key = span(t.open + 1, t.end - 1);
    } else {
        const std::string_view escaped = escaped_text(t);
        const std::string_view input = span(t.open, t.end);
        key = escaped == input ? input : std::string_view(store_.keep(escaped), escaped.size());
        key = key.substr(1, key.size() - 2);
    }
    take_key(intern(key));
}

TESSIK_ALWAYS_INLINE void RowSink::take_key(std::uint32_t id) {
    cell_column_ = id;
    Column& c = columns_[id];
    if (c.row == rows_.size() + 1) {
        // A repeated key keeps its first position and takes the last value.
        slot_ = c.position;
        return;
    }
    c.row = rows_.size() + 1;
    c.position = static_cast<std::uint32_t>(row_.size);
    slot_ = row_.size++;
    ids_.push_back(id);
    cells_.push_back(Cell());
}

TESSIK_ALWAYS_INLINE std::uint32_t RowSink::intern(std::string_view key) {
    // The reader has compared the key with the expected one already.
    if (predict_ && !rows_.empty()) ++mispredicted_;
    constexpr std::size_t max_scanned_keys = 8;
    std::size_t id = json::KeyIndex::npos;
    auto key_at = [this](std::size_t i) { return keys_[i]; };
    if (keys_.size() < max_scanned_keys) {
        for (std::size_t k = 0; k < keys_.size(); ++k) {
            if (json::same_key(keys_[k], key)) {
                id = k;
                break;
            }
        }
    } else {
        if (!index_) {
            index_.emplace();
            // The keys so far go to the recent entries too, so that their
            // first lookups after this one need no hashing of the index.
            for (std::size_t k = 0; k < keys_.size(); ++k) {
                index_->keys.find_or_insert(keys_[k], k, key_at);
                index_->recent.entry(keys_[k]) = static_cast<std::uint32_t>(k + 1);
            }
        }
        std::uint32_t& recent = index_->recent.entry(key);
        if (recent != 0 && json::same_key(keys_[recent - 1], key)) return recent - 1;
        id = index_->keys.find_or_insert(key, keys_.size(), key_at);
        recent = static_cast<std::uint32_t>((id == json::KeyIndex::npos ? keys_.size() : id) + 1);
    }
    if (id == json::KeyIndex::npos) {
        id = keys_.size();
        keys_.push_back(key);
        columns_.emplace_back();
    }
    // 32 bits suffice: each id stands for a distinct key of at least a
    // 16-byte cell, and 2^32 of those cannot fit in memory.
    return static_cast<std::uint32_t>(id);
}

inline void RowSink::set_cell(Cell cell) { cells_[row_.cells + slot_] = cell; }

TESSIK_ALWAYS_INLINE void RowSink::string(const StringToken& t) {
    switch (state_) {
        case State::InRow: {
            if (t.compact) set_cell(Cell(span(t.open, t.end), Kind::String));
            else set_cell(keep(escaped_text(t), t.open, t.end, Kind::String));
            return;
        }
        case State::Top:
            element_scalar(t.compact ? span(t.open, t.end) : escaped_text(t));
            return;
        case State::InCell:
        case State::InElement:
            if (emitting()) emitter_.string(t);
            return;
        default:
            return;
    }
}

TESSIK_ALWAYS_INLINE void RowSink::number(const NumberToken& t) {
    char buf[json::max_number_chars];
    switch (state_) {
        case State::InRow:
            // An integer's literal is its text (see number_text).
            if (t.number.form() != json::Number::Form::Double) set_cell(Cell(span(t.begin, t.end), Kind::Number));
            else set_cell(keep(number_text(t, buf), t.begin, t.end, Kind::Number));
            return;
        case State::Top:
            element_scalar(number_text(t, buf));
            return;
        case State::InCell:
        case State::InElement:
            if (emitting()) emitter_.number(t);
            return;
        default:
            return;
    }
}

// Inlined into the reader, as the other token handlers are: out of line,
// each literal in a nested value pays a second call into the emitter.
TESSIK_ALWAYS_INLINE void RowSink::literal(Kind kind, bool, const Byte* begin, const Byte* end) {
    switch (state_) {
        case State::InRow:
            set_cell(Cell(span(begin, end), kind));
            return;
        case State::Top:
            element_scalar(span(begin, end));
            return;
        case State::InCell:
        case State::InElement:
            if (emitting()) emitter_.literal(begin, end);
            return;
        default:
            return;
    }
}

}  // namespace tessik::transform::detail
