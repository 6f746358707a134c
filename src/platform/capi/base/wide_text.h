// UTF-8 <-> UTF-16 for the layer's own texts (names, container names).
// Standard conversion with surrogate pairs; invalid UTF-8 becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace zuntar {

std::u16string Utf16FromUtf8(std::string_view text);
std::string Utf8FromUtf16(std::u16string_view text);

// The process's ANSI code page (code_page.h) <-> UTF-8; characters the code
// page cannot hold become '?'.
std::string AnsiTextFromUtf8(std::string_view text);
std::string Utf8FromAnsiText(std::string_view text);

}  // namespace zuntar
