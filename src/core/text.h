// Small string helpers shared by the whole program. Texts are byte strings
// in the system ANSI code page.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zuntar {

inline std::string IfThenStr(bool flag, std::string_view a, std::string_view b) {
  return std::string(flag ? a : b);
}

// Every `sep` ends one element and starts the next; an empty text gives no
// elements. No trimming.
std::vector<std::string> SplitByChar(std::string_view text, char sep);

// Splits where a single character of `text` equals the whole separator
// text, so only a one-character separator ever splits; the last element is
// cut at 10000 characters.
std::vector<std::string> SplitByString(std::string_view text, std::string_view sep);

// Takes the front of `text` up to the next `sep` outside double quotes and
// removes it, with that separator, from `text`. Quotes stay in the token; an
// unclosed quote gives an empty token.
std::string NextToken(std::string& text, char sep);

// NextToken results until the first empty one.
std::vector<std::string> SplitToList(std::string_view text, char sep);

// Trims blanks and control characters at both ends, then prefixes `fill`
// up to `length` characters.
std::string PadLeft(std::string_view text, size_t length, char fill);

// Trims blanks and control characters at both ends.
std::string Trim(std::string_view text);
// The same, as a view into `text`.
std::string_view TrimmedView(std::string_view text);

// Appends the path delimiter ('/' on this platform) unless the path already
// ends with one; an empty path gives "/".
std::string IncludeTrailingBackslash(std::string_view path);

// Decimal digits with an optional sign, nothing else (no blanks), in the
// int range: a strict conversion of a whole number.
std::optional<int> ParseWholeNumber(std::string_view text);

// ASCII case-insensitive comparison and upper-casing: keys, switches and
// command names are ASCII.
bool SameText(std::string_view a, std::string_view b);
std::string UpperCase(std::string_view text);

}  // namespace zuntar
