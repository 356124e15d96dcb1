#include "transform/entry.hpp"

#include <utility>
#include <vector>

#include "json/reader.hpp"
#include "json/writer.hpp"
#include "transform/columnar.hpp"

namespace tessik::transform {

Result<json::Buffer, std::string> columnarize_json(std::string_view payload) {
    using Out = Result<json::Buffer, std::string>;

    auto read = json::read_top_level_array(payload);
    if (!read) return Out::err("invalid row-oriented JSON: " + read.error().text());

    auto document = columnarize_rows(std::move(read.value()));
    if (!document) return Out::err(std::move(document.error()));

    // Writing into memory cannot fail short of memory, which unwinds as
    // std::bad_alloc, so no "serialization error: " text is ever made here.
    json::Buffer out(128);
    json::write_to_buffer(document.value(), out);
    return Out::ok(std::move(out));
}

}  // namespace tessik::transform
