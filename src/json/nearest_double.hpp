// A JSON number's text read as the double nearest to it, ties to even, as
// std::from_chars reads it: for standard libraries without from_chars for
// double (libc++ before LLVM 20, older libstdc++). strtod would do but
// follows the caller's LC_NUMERIC.
#pragma once

namespace tessik::json {

// Reads [first, last), which must be a whole JSON number literal; false,
// leaving `out` as it was, when it is not one. Out of range, `out` is the
// correctly rounded result all the same: an infinity or a zero.
bool nearest_double(const char* first, const char* last, double& out) noexcept;

}  // namespace tessik::json
