// Reads one top-level JSON array (strict RFC 8259, nesting at most 127
// levels counting the array itself) into its elements, or an Error naming
// the fault and its line and byte column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/node.hpp"
#include "json/result.hpp"
#include "json/value.hpp"

namespace tessik::json {

enum class ErrorCode : std::uint8_t {
    EofWhileParsingList,
    EofWhileParsingObject,
    EofWhileParsingString,
    EofWhileParsingValue,
    ExpectedColon,
    ExpectedListCommaOrEnd,
    ExpectedObjectCommaOrEnd,
    ExpectedSomeIdent,
    ExpectedSomeValue,
    InvalidEscape,
    InvalidNumber,
    NumberOutOfRange,
    InvalidUnicodeCodePoint,
    ControlCharacterWhileParsingString,
    KeyMustBeAString,
    LoneLeadingSurrogateInHexEscape,
    TrailingComma,
    TrailingCharacters,
    UnexpectedEndOfHexEscape,
    RecursionLimitExceeded,
    Message,  // carries its own text (the wrong top-level type)
};

// The fixed text of a code; empty for ErrorCode::Message.
std::string_view error_message(ErrorCode code) noexcept;

struct Error {
    ErrorCode code;
    std::size_t line;    // 1-based; 0 means no position yet
    std::size_t column;  // bytes since the last line feed
    std::string message; // only for ErrorCode::Message

    // The message, then " at line L column C" when there is a position.
    std::string text() const;
};

// The elements as nodes in the arena; strings without escapes view `bytes`,
// which must outlive them.
Result<std::span<const Node>, Error> read_top_level_array(std::string_view bytes, Arena& arena);

// The elements as owned values.
Result<std::vector<Value>, Error> read_top_level_array(std::string_view bytes);

}  // namespace tessik::json
