// The reader's faults: a code with a fixed message, and where it lies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

}  // namespace tessik::json
