// The system "ANSI" code page and conversions between it and UTF-16.
//
// Internal texts are byte strings in one single-byte Windows code page: 1251
// on the systems the program serves, 1252 on legacy 8-bit Western ones. The
// code page follows the locale the way Windows derives its ANSI code page
// from the user's language. A locale that names no language at all (C,
// POSIX, C.UTF-8, none set) is a minimal system or a service nobody
// configured, and a UTF-8 locale of any language shows Cyrillic: both count
// as 1251, so the plugin serves its Russian users with its database there.
// Only a legacy 8-bit locale of another language (en_US.ISO-8859-1,
// de_DE@euro) gives 1252.
#pragma once

#include <string>
#include <string_view>

namespace zuntar {

constexpr unsigned kCodePage1251 = 1251;
constexpr unsigned kCodePage1252 = 1252;

// Code page for a locale name such as "ru_RU.UTF-8", "uk_UA", "C" or
// "en_US.CP1251": 1251 when the charset is CP1251 or UTF-8, the language
// is one whose Windows ANSI code page is 1251, or no language is named
// ("C", "POSIX", ""); otherwise 1252.
unsigned CodePageForLocale(std::string_view locale);

// The locale the code page follows: the first of LC_ALL, LC_CTYPE and LANG
// that is set; empty when none is.
std::string ProcessLocale();

// The process's ANSI code page, from ProcessLocale(). Computed once; the
// environment is not consulted again.
unsigned AnsiCodePage();

// Bytes in code page `cp` (1251 or 1252) to UTF-16. Every byte maps to one
// code unit; bytes the code page leaves undefined map to U+00xx, as Windows
// does.
std::u16string WideFromCodePage(unsigned cp, std::string_view bytes);

// UTF-16 to code page `cp`; a character the code page cannot hold (lone
// surrogates included) becomes '?'.
std::string CodePageFromWide(unsigned cp, std::u16string_view text);

}  // namespace zuntar
