#include "core/utf.h"

#include "platform/code_page.h"

namespace zuntar {

std::string Utf8FromWide(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (char16_t u : text) {
    if (u < 0x80) {
      out += static_cast<char>(u);
    } else if (u < 0x800) {
      out += static_cast<char>(0xC0 | (u >> 6));
      out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (u >> 12));
      out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  return out;
}

std::u16string WideFromUtf8(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  const size_t n = bytes.size();
  auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  auto continuation = [&](size_t i) { return i < n && (at(i) & 0xC0) == 0x80; };
  for (size_t i = 0; i < n;) {
    const unsigned char b = at(i);
    if (b < 0x80) {
      out += static_cast<char16_t>(b);
      i += 1;
    } else if ((b & 0xE0) == 0xC0) {
      if (!continuation(i + 1)) return {};
      out += static_cast<char16_t>(((b & 0x1F) << 6) | (at(i + 1) & 0x3F));
      i += 2;
    } else if ((b & 0xF0) == 0xE0) {
      if (!continuation(i + 1) || !continuation(i + 2)) return {};
      out += static_cast<char16_t>(((b & 0x0F) << 12) | ((at(i + 1) & 0x3F) << 6) | (at(i + 2) & 0x3F));
      i += 3;
    } else {
      return {};  // continuation byte out of place, or a four-byte lead
    }
  }
  return out;
}

std::u16string WideFromAnsi(std::string_view text) { return WideFromCodePage(AnsiCodePage(), text); }

std::string AnsiFromWide(std::u16string_view text) { return CodePageFromWide(AnsiCodePage(), text); }

std::string AnsiFromUtf8(std::string_view bytes) { return AnsiFromWide(WideFromUtf8(bytes)); }

std::string Utf8FromAnsi(std::string_view text) { return Utf8FromWide(WideFromAnsi(text)); }

std::u16string WideFromCp1251(std::string_view bytes) { return WideFromCodePage(kCodePage1251, bytes); }

}  // namespace zuntar
