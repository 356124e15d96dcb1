// The quoted form of a text, as the wrong-top-level-type message shows a
// string: quotes and backslashes escaped, and every character a reader
// could not see (controls, spaces, combining marks, format and unassigned
// characters, private use) written as \u{hex}.
#pragma once

#include <string>
#include <string_view>

namespace tessik::json {

// True when the quoted form writes the character as \u{hex} (characters
// with a short escape, such as tab, are decided before this).
bool escapes_as_code_point(char32_t c) noexcept;

// Appends the double-quoted form of `text`, which must be valid UTF-8.
void append_quoted(std::string& out, std::string_view text);

}  // namespace tessik::json
