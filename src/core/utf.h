// UTF-8, UTF-16 and code-page conversions of the program's texts.
//
// The UTF-8 side follows the program's historical rules, not the full
// standard: each UTF-16 code unit is encoded on its own (surrogate halves
// become two three-byte sequences) and four-byte sequences are refused.
#pragma once

#include <string>
#include <string_view>

namespace zuntar {

std::string Utf8FromWide(std::u16string_view text);

// Empty when the bytes hold a four-byte sequence, a lead byte without its
// continuation bytes or a stray continuation byte.
std::u16string WideFromUtf8(std::string_view bytes);

// UTF-8 to the system ANSI code page ('?' for what it cannot hold).
std::string AnsiFromUtf8(std::string_view bytes);

// System ANSI code page text to UTF-8.
std::string Utf8FromAnsi(std::string_view text);

// Code page 1251 to UTF-16, whatever the system code page is.
std::u16string WideFromCp1251(std::string_view bytes);
// UTF-8 to code page 1251, whatever the system code page is ('?' for what
// it cannot hold): Russian texts that must stay Russian on any system.
std::string Cp1251FromUtf8(std::string_view bytes);

// System ANSI code page <-> UTF-16.
std::u16string WideFromAnsi(std::string_view text);
std::string AnsiFromWide(std::u16string_view text);

}  // namespace zuntar
