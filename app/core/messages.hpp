#pragma once
// Quoting user-supplied text in messages: bounded length, nothing unprintable.
#include <string>
#include <string_view>

namespace tdcyl {

// `text` in double quotes, at most `limit` characters of it; bytes outside
// printable ASCII (and the quote and backslash) are escaped as \xHH, and a
// longer text is cut, ending in "...".
std::string Quote(std::string_view text, std::size_t limit = 40);

// A file name: longer than a token, still bounded.
inline std::string QuotePath(std::string_view path) { return Quote(path, 120); }

// A real value for a message in the C locale, 15 significant digits.
std::string FormatValue(long double value);

}  // namespace tdcyl
