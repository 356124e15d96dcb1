// Re-shapes a row-oriented JSON array into the column-oriented document
// {"columns", "rows", "constants"}, in one pass over the payload that keeps
// each row's values as their compact text and builds no document tree.
#pragma once

#include <string>
#include <vector>

#include "json/buffer.hpp"
#include "json/result.hpp"
#include "json/value.hpp"

namespace tessik::transform {

// The same document for rows already held as values; takes ownership of
// them.
Result<json::Value, std::string> columnarize_rows(std::vector<json::Value> elements);

}  // namespace tessik::transform
