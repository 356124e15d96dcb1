// Re-shapes the rows of a row-oriented array into the column-oriented
// document {"columns", "rows", "constants"}.
#pragma once

#include <string>
#include <vector>

#include "json/buffer.hpp"
#include "json/result.hpp"
#include "json/value.hpp"

namespace tessik::transform {

// Takes ownership of the elements. Fails only on the first element that is
// not an object, with "expected a JSON object row, got: " and its text.
Result<json::Value, std::string> columnarize_rows(std::vector<json::Value> elements);

// The same document written straight from the rows as compact text, without
// building it as values (no cell is copied). Returns the error text of
// columnarize_rows, or an empty string on success.
std::string write_columnar(const std::vector<json::Value>& elements, json::Buffer& out);

// Top-level cells: numbers match by their double value, everything else by
// value equality.
bool values_match(const json::Value& cell, const json::Value& reference) noexcept;

}  // namespace tessik::transform
