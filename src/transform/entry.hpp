// The whole transform: payload bytes in, output bytes or an error text out.
#pragma once

#include <string>
#include <string_view>

#include "json/buffer.hpp"
#include "json/result.hpp"

namespace tessik::transform {

// Reads the payload as one array, columnarizes its rows and writes the
// document. Errors carry their stage's prefix; the output buffer starts at
// the payload's size (at least 128 bytes), which the document rarely
// exceeds. Allocation failure propagates as std::bad_alloc, the arena of
// the call released on the way out.
Result<json::Buffer, std::string> columnarize_json(std::string_view payload);

}  // namespace tessik::transform
