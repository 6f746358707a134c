#include "core/utf.h"

#include <cstdint>
#include <cstring>

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

namespace {

// Decodes `bytes` and hands each UTF-16 code unit to `put`. False, after
// some units may have been handed over, when the bytes hold a malformed or
// four-byte sequence.
template <class Put>
bool DecodeUtf8(std::string_view bytes, Put&& put) {
  const size_t n = bytes.size();
  auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  auto continuation = [&](size_t i) { return i < n && (at(i) & 0xC0) == 0x80; };
  for (size_t i = 0; i < n;) {
    const unsigned char b = at(i);
    if (b < 0x80) {
      put(static_cast<char16_t>(b));
      i += 1;
    } else if ((b & 0xE0) == 0xC0) {
      if (!continuation(i + 1)) return false;
      put(static_cast<char16_t>(((b & 0x1F) << 6) | (at(i + 1) & 0x3F)));
      i += 2;
    } else if ((b & 0xF0) == 0xE0) {
      if (!continuation(i + 1) || !continuation(i + 2)) return false;
      put(static_cast<char16_t>(((b & 0x0F) << 12) | ((at(i + 1) & 0x3F) << 6) | (at(i + 2) & 0x3F)));
      i += 3;
    } else {
      return false;  // continuation byte out of place, or a four-byte lead
    }
  }
  return true;
}

}  // namespace

std::u16string WideFromUtf8(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  if (!DecodeUtf8(bytes, [&](char16_t u) { out += u; })) return {};
  return out;
}

std::u16string WideFromAnsi(std::string_view text) { return WideFromCodePage(AnsiCodePage(), text); }

std::string AnsiFromWide(std::u16string_view text) { return CodePageFromWide(AnsiCodePage(), text); }

// ASCII is the same in every ANSI code page, and no UTF-8 sequence of more
// than one byte holds an ASCII byte: runs of ASCII are copied as they are and
// only the stretches between them are decoded, through a small buffer of
// code units, so a large document never exists as UTF-16 in whole.
std::string AnsiFromUtf8(std::string_view bytes) {
  constexpr size_t kChunk = 4096;
  const unsigned cp = AnsiCodePage();
  std::string out;
  out.reserve(bytes.size());
  std::u16string chunk;
  chunk.reserve(kChunk);
  auto flush = [&] {
    out += CodePageFromWide(cp, chunk);
    chunk.clear();
  };
  auto put = [&](char16_t u) {
    chunk += u;
    if (chunk.size() == kChunk) flush();
  };
  auto ascii = [&](size_t i) { return static_cast<unsigned char>(bytes[i]) < 0x80; };
  for (size_t i = 0; i < bytes.size();) {
    size_t end = i;
    for (uint64_t word; end + 8 <= bytes.size(); end += 8) {  // eight bytes a step
      std::memcpy(&word, bytes.data() + end, 8);
      if (word & 0x8080808080808080u) break;
    }
    while (end < bytes.size() && ascii(end)) ++end;
    out.append(bytes.substr(i, end - i));
    for (i = end; end < bytes.size() && !ascii(end);) ++end;
    if (!DecodeUtf8(bytes.substr(i, end - i), put)) return {};
    flush();
    i = end;
  }
  return out;
}

std::string Utf8FromAnsi(std::string_view text) { return Utf8FromWide(WideFromAnsi(text)); }

std::u16string WideFromCp1251(std::string_view bytes) { return WideFromCodePage(kCodePage1251, bytes); }

std::string Cp1251FromUtf8(std::string_view bytes) { return CodePageFromWide(kCodePage1251, WideFromUtf8(bytes)); }

}  // namespace zuntar
