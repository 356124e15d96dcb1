#include "transform/columnar.hpp"

#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/buffer.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"
#include "transform/entry.hpp"
#include "transform/rows.hpp"

namespace tessik::transform {

namespace {

// The reader's sink as a type of this file alone: the reader's functions
// are then local to this file, so that the compiler inlines the ones
// called once (objects into values) and clones others for their constant
// arguments, which it does not for functions other files may call.
class Sink final : public detail::RowSink {};

}  // namespace

Result<std::size_t, std::string> columnarize_json(std::string_view payload, OutputRoom& target) {
    using Out = Result<std::size_t, std::string>;
    // An empty result, which tools often give: its document is known
    // without setting up the rows.
    if (payload == "[]") {
        constexpr std::string_view empty = R"({"columns":[],"rows":[],"constants":{}})";
        std::memcpy(target.room(empty.size()), empty.data(), empty.size());
        return Out::ok(empty.size());
    }
    Sink sink;
    json::Reader<Sink> reader(payload, sink);
    if (!reader.read_top_level_array()) return Out::err("invalid row-oriented JSON: " + reader.error().text());
    if (sink.has_row_error()) return Out::err(sink.take_row_error());
    return Out::ok(sink.write_document(target, payload));
}

Result<json::Buffer, std::string> columnarize_json(std::string_view payload) {
    struct BufferRoom final : OutputRoom {
        json::Buffer out;
        char* room(std::size_t size) override { return out.extend(size); }
    } room;
    auto result = columnarize_json(payload, room);
    if (!result) return Result<json::Buffer, std::string>::err(std::move(result.error()));
    return Result<json::Buffer, std::string>::ok(std::move(room.out));
}

Result<json::Value, std::string> columnarize_rows(std::vector<json::Value> elements) {
    using Out = Result<json::Value, std::string>;
    // The rows take the one road of the transform, through their text.
    json::Buffer text;
    json::write_to_buffer(json::Value(std::move(elements)), text);
    auto result = columnarize_json(text.view());
    if (!result) return Out::err(std::move(result.error()));
    std::string wrapped = "[";
    wrapped.append(result.value().view());
    wrapped += ']';
    auto read = json::read_top_level_array(wrapped);
    if (!read) throw std::logic_error("the transform wrote text it cannot read back");
    return Out::ok(std::move(read.value()[0]));
}

}  // namespace tessik::transform
