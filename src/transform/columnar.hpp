// Re-shapes the rows of a row-oriented array into the column-oriented
// document {"columns", "rows", "constants"}.
#pragma once

#include <memory_resource>
#include <span>
#include <string>
#include <vector>

#include "json/buffer.hpp"
#include "json/node.hpp"
#include "json/result.hpp"
#include "json/value.hpp"

namespace tessik::transform {

// The document written straight from the rows as compact text, without
// building it as values (no cell is copied). Fails only on the first
// element that is not an object, returning "expected a JSON object row,
// got: " and its text; returns an empty string on success.
// `scratch` serves the working vectors of the call.
std::string write_columnar(std::span<const json::Node> elements, json::Buffer& out,
                           std::pmr::memory_resource* scratch = std::pmr::get_default_resource());
std::string write_columnar(const std::vector<json::Value>& elements, json::Buffer& out);

// The same document built as owned values; takes ownership of the elements.
Result<json::Value, std::string> columnarize_rows(std::vector<json::Value> elements);

// Top-level cells: numbers match by their double value, everything else by
// value equality.
bool values_match(const json::Value& cell, const json::Value& reference) noexcept;
bool values_match(const json::Node& cell, const json::Node& reference) noexcept;

}  // namespace tessik::transform
