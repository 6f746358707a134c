#include "platform/code_page.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace zuntar {
namespace {

// Languages whose Windows ANSI code page is 1251.
constexpr std::string_view kCyrillicLanguages[] = {
    "ru", "uk", "be", "bg", "mk", "sr", "kk", "ky", "tt", "mn", "tg", "ba", "sah", "uz", "az", "cv", "os"};

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Both directions of one single-byte code page, built once through iconv.
// Tables make each conversion a lookup per character, so no iconv handle is
// shared between threads or opened per call.
class CodePageTables {
 public:
  explicit CodePageTables(unsigned cp) {
    const std::string name = "CP" + std::to_string(cp);
    iconv_t cd = iconv_open("UTF-16LE", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv cannot convert " + name);
    std::unique_ptr<void, int (*)(iconv_t)> guard(cd, iconv_close);
    reverse_.fill(0);
    for (unsigned b = 0; b < 256; ++b) {
      char in = static_cast<char>(b);
      unsigned char out[4] = {};
      char* inp = &in;
      char* outp = reinterpret_cast<char*>(out);
      size_t inleft = 1, outleft = sizeof out;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      char16_t unit = static_cast<char16_t>(b);  // undefined byte: U+00xx
      if (iconv(cd, &inp, &inleft, &outp, &outleft) != static_cast<size_t>(-1) && outleft == 2)
        unit = static_cast<char16_t>(out[0] | (out[1] << 8));
      forward_[b] = unit;
      if (reverse_[unit] == 0) reverse_[unit] = static_cast<unsigned char>(b);
    }
  }

  char16_t ToWide(unsigned char b) const { return forward_[b]; }

  char FromWide(char16_t u) const {
    if (u == 0) return 0;
    const unsigned char b = reverse_[u];
    return b == 0 ? '?' : static_cast<char>(b);
  }

 private:
  std::array<char16_t, 256> forward_{};
  std::array<unsigned char, 65536> reverse_{};
};

const CodePageTables& Tables(unsigned cp) {
  static const CodePageTables t1251(kCodePage1251);
  static const CodePageTables t1252(kCodePage1252);
  return cp == kCodePage1251 ? t1251 : t1252;
}

}  // namespace

unsigned CodePageForLocale(std::string_view locale) {
  const std::string name = Lower(locale);
  const size_t dot = name.find('.');
  const size_t at = name.find('@');
  if (dot != std::string::npos) {
    std::string charset = name.substr(dot + 1, at == std::string::npos ? std::string::npos : at - dot - 1);
    charset.erase(std::remove(charset.begin(), charset.end(), '-'), charset.end());
    if (charset == "cp1251" || charset == "windows1251" || charset == "1251") return kCodePage1251;
    // A UTF-8 system shows Cyrillic whatever its language.
    if (charset == "utf8") return kCodePage1251;
  }
  // A Latin-script variant ("sr_RS@latin") is not Cyrillic.
  if (at != std::string::npos && name.compare(at, std::string::npos, "@latin") == 0) return kCodePage1252;
  const std::string language = name.substr(0, name.find_first_of("_.@"));
  if (language.empty() || language == "c" || language == "posix") return kCodePage1251;
  for (std::string_view l : kCyrillicLanguages)
    if (language == l) return kCodePage1251;
  return kCodePage1252;
}

std::string ProcessLocale() {
  for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(var);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

unsigned AnsiCodePage() {
  static const unsigned cp = CodePageForLocale(ProcessLocale());
  return cp;
}

std::u16string WideFromCodePage(unsigned cp, std::string_view bytes) {
  const CodePageTables& t = Tables(cp);
  std::u16string out(bytes.size(), u'\0');
  for (size_t i = 0; i < bytes.size(); ++i) out[i] = t.ToWide(static_cast<unsigned char>(bytes[i]));
  return out;
}

std::string CodePageFromWide(unsigned cp, std::u16string_view text) {
  const CodePageTables& t = Tables(cp);
  std::string out(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) out[i] = t.FromWide(text[i]);
  return out;
}

}  // namespace zuntar
