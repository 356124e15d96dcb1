#include "transform/entry.hpp"

#include <utility>
#include <vector>

#include "json/reader.hpp"
#include "json/writer.hpp"
#include "transform/columnar.hpp"

namespace tessik::transform {

Result<json::Buffer, std::string> columnarize_json(std::string_view payload) {
    using Out = Result<json::Buffer, std::string>;

    // Every value of the call lives in one arena, released at once.
    json::Arena arena(payload.size());
    auto read = json::read_top_level_array(payload, arena);
    if (!read) return Out::err("invalid row-oriented JSON: " + read.error().text());

    // The document is written straight from the rows: its text is the same
    // as that of the document built as values, without copying any cell.
    // Writing into memory cannot fail short of memory, which unwinds as
    // std::bad_alloc, so no "serialization error: " text is ever made here.
    // Reserved from the payload's size: growing by doubling copies the text
    // and keeps both copies resident for a moment.
    json::Buffer out(payload.size() < 128 ? 128 : payload.size());
    std::string row_error = write_columnar(read.value(), out, arena.scratch());
    if (!row_error.empty()) return Out::err(std::move(row_error));
    return Out::ok(std::move(out));
}

}  // namespace tessik::transform
