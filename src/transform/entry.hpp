// The whole transform: payload bytes in, output bytes or an error text out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "json/buffer.hpp"
#include "json/result.hpp"

namespace tessik::transform {

// Reads the payload as one array of rows and writes the column-oriented
// document, in one pass (rows.hpp reads the rows, document.cpp writes). The
// whole payload is read before any row is judged, so a syntax error anywhere
// wins over a row that is not an object. Errors:
// "invalid row-oriented JSON: " and the reader's error, or
// "expected a JSON object row, got: " and the compact text of the first
// such element. Allocation failure propagates as
// std::bad_alloc, with everything of the call released on the way out.
Result<json::Buffer, std::string> columnarize_json(std::string_view payload);

// Where the document goes once its exact size is known.
class OutputRoom {
public:
    // Writable room for exactly `size` bytes, the whole document; throws
    // std::bad_alloc when there is none.
    virtual char* room(std::size_t size) = 0;

protected:
    ~OutputRoom() = default;
};

// The same transform, writing the document into target.room(size) and
// returning its size; the room is asked for only when there is a document.
Result<std::size_t, std::string> columnarize_json(std::string_view payload, OutputRoom& target);

}  // namespace tessik::transform
