// UTF-8 <-> UTF-16 for the layer's own texts (names, container names).
// Standard conversion with surrogate pairs; invalid UTF-8 becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace zuntar {

std::u16string Utf16FromUtf8(std::string_view text);
std::string Utf8FromUtf16(std::u16string_view text);

}  // namespace zuntar
