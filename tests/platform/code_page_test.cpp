#include "platform/code_page.h"

#include <gtest/gtest.h>

namespace zuntar {
namespace {

TEST(CodePageForLocale, FollowsLanguageAndCharset) {
  for (const char* name : {"ru_RU.UTF-8", "ru_RU", "uk_UA.utf8", "be_BY", "bg_BG.UTF-8", "kk_KZ", "ru",
                           "en_US.CP1251", "de_DE.windows-1251", "sr_RS"})
    EXPECT_EQ(CodePageForLocale(name), kCodePage1251) << name;
  // No language named: a minimal system or an unconfigured service.
  for (const char* name : {"C", "POSIX", "C.UTF-8", "c.utf8", "POSIX.UTF-8", ""})
    EXPECT_EQ(CodePageForLocale(name), kCodePage1251) << name;
  // A UTF-8 system of any language shows Cyrillic.
  for (const char* name : {"en_US.UTF-8", "de_DE.utf8", "fr_FR.UTF-8@euro", "sr_RS.UTF-8@latin"})
    EXPECT_EQ(CodePageForLocale(name), kCodePage1251) << name;
  // Legacy 8-bit Western locales.
  for (const char* name : {"en_US.ISO-8859-1", "de_DE@euro", "de_DE", "sr_RS@latin", "rus", "en_US.CP1252", "Cy_GB"})
    EXPECT_EQ(CodePageForLocale(name), kCodePage1252) << name;
}

TEST(CodePage, ConvertsBothWays) {
  EXPECT_EQ(WideFromCodePage(kCodePage1251, "\xC0\xFF\xB9"), u"\u0410\u044F\u2116");
  EXPECT_EQ(CodePageFromWide(kCodePage1251, u"\u0410\u044F\u2116"), "\xC0\xFF\xB9");
  EXPECT_EQ(WideFromCodePage(kCodePage1252, "\x80\xE9"), u"\u20AC\u00E9");
  EXPECT_EQ(CodePageFromWide(kCodePage1252, u"\u20AC\u00E9"), "\x80\xE9");
}

TEST(CodePage, UnrepresentableBecomesQuestionMark) {
  EXPECT_EQ(CodePageFromWide(kCodePage1252, u"a\u0416b"), "a?b");
  EXPECT_EQ(CodePageFromWide(kCodePage1251, u"\u00E9\u4E2D"), "??");
  EXPECT_EQ(CodePageFromWide(kCodePage1251, u"\xD83D"), "?");  // lone surrogate
  EXPECT_EQ(CodePageFromWide(kCodePage1251, std::u16string(1, u'\0')), std::string(1, '\0'));
}

TEST(CodePage, EveryByteRoundTrips) {
  for (unsigned cp : {kCodePage1251, kCodePage1252}) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    EXPECT_EQ(CodePageFromWide(cp, WideFromCodePage(cp, all)), all) << cp;
  }
}

}  // namespace
}  // namespace zuntar
