// How the transform keeps the values of the rows: each cell as its compact
// text, lying in the input or in a store of texts that never move.
// Internal to src/transform/.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "json/buffer.hpp"
#include "json/pages.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"

namespace tessik::transform::detail {

using json::Byte;
using Kind = json::Value::Kind;

inline std::string_view span(const Byte* begin, const Byte* end) noexcept {
    return {reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin)};
}

// A cell of a row: the compact text of its value, which lies in the input
// when the input already held exactly that text, else in the TextStore.
class Cell {
public:
    Cell() noexcept = default;
    Cell(std::string_view text, Kind kind) noexcept
        : text_(text.data()), size_kind_((static_cast<std::uint64_t>(text.size()) << 3) | static_cast<unsigned>(kind)) {}
    std::string_view text() const noexcept { return {text_, static_cast<std::size_t>(size_kind_ >> 3)}; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(size_kind_ >> 3); }
    Kind kind() const noexcept { return static_cast<Kind>(size_kind_ & 7); }

private:
    const char* text_ = "null";
    std::uint64_t size_kind_ = (std::uint64_t{4} << 3) | static_cast<unsigned>(Kind::Null);
};
static_assert(sizeof(Cell) == 16);

// Stable storage for the texts that differ from the input: blocks that are
// never moved, freed together. The text being made (a piece) is written at
// the free end of the current block and moves only while it is open, when
// it outgrows the block; keep() and commit() make texts stable.
class TextStore {
public:
    const char* keep(std::string_view text) {
        char* p = room(0, text.size());
        if (!text.empty()) std::memcpy(p, text.data(), text.size());
        cur_ += text.size();
        return p;
    }
    // Where the open piece of `size` bytes lies once there is room for
    // `more` after it.
    char* room(std::size_t size, std::size_t more) {
        if (static_cast<std::size_t>(end_ - cur_) - size < more) grow(size, more);
        return cur_;
    }
    char* piece() const noexcept { return cur_; }
    void commit(std::size_t size) noexcept { cur_ += size; }

private:
    void grow(std::size_t size, std::size_t more) {
        if (more > SIZE_MAX / 2 - size) throw std::bad_alloc();
        next_ = std::max(next_ * 2, size + more);
        json::pages::Block block(next_);
        if (size != 0) std::memcpy(block.data(), cur_, size);
        blocks_.push_back(std::move(block));
        cur_ = blocks_.back().data();
        end_ = cur_ + next_;
    }
    std::vector<json::pages::Block> blocks_;
    char* cur_ = nullptr;
    char* end_ = nullptr;
    std::size_t next_ = 8 * 1024;
};

// The open piece of a TextStore, written like a buffer.
class Piece {
public:
    explicit Piece(TextStore& store) noexcept : store_(store) {}
    void clear() noexcept { size_ = 0; }
    std::size_t size() const noexcept { return size_; }
    const char* data() const noexcept { return store_.piece(); }
    void push(char c) {
        char* p = store_.room(size_, 1);
        p[size_] = c;
        ++size_;
    }
    void append(const char* p, std::size_t n) {
        json::copy_bytes(store_.room(size_, n) + size_, p, n);
        size_ += n;
    }
    void append(std::string_view text) { append(text.data(), text.size()); }
    // Room for n bytes after the piece, to be written in place and then
    // taken in by added().
    char* reserve(std::size_t n) { return store_.room(size_, n) + size_; }
    void added(std::size_t n) noexcept { size_ += n; }
    void truncate(std::size_t n) noexcept { size_ = std::min(size_, n); }
    // The text, now stable; the piece starts anew.
    std::string_view commit() noexcept {
        const std::string_view text(store_.piece(), size_);
        store_.commit(size_);
        size_ = 0;
        return text;
    }

private:
    TextStore& store_;
    std::size_t size_ = 0;
};

}  // namespace tessik::transform::detail
