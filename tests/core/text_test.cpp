#include "core/text.h"

#include <gtest/gtest.h>

#include "core/utf.h"

namespace zuntar {
namespace {

using Parts = std::vector<std::string>;

TEST(Utf8FromWide, EncodesEachCodeUnitOnItsOwn) {
  EXPECT_EQ(Utf8FromWide(u"A"), "A");
  EXPECT_EQ(Utf8FromWide(u"\u00E9"), "\xC3\xA9");
  EXPECT_EQ(Utf8FromWide(u"\u0416"), "\xD0\x96");
  EXPECT_EQ(Utf8FromWide(u"\u20AC"), "\xE2\x82\xAC");
  // U+1F600 as a surrogate pair: two three-byte sequences, never four bytes.
  EXPECT_EQ(Utf8FromWide(u"\U0001F600"), "\xED\xA0\xBD\xED\xB8\x80");
}

TEST(WideFromUtf8, DecodesUpToThreeBytesAndRejectsTheRest) {
  EXPECT_EQ(WideFromUtf8("A\xC3\xA9\xE2\x82\xAC"), u"A\u00E9\u20AC");
  EXPECT_EQ(WideFromUtf8(Utf8FromWide(u"\u041F\u0440\u0438")), u"\u041F\u0440\u0438");
  EXPECT_EQ(WideFromUtf8("ok\xF0\x9F\x98\x80"), u"");  // four-byte sequence
  EXPECT_EQ(WideFromUtf8("ok\xC3"), u"");              // lead byte at the end
  EXPECT_EQ(WideFromUtf8("ok\xE2\x82"), u"");          // continuation missing
  EXPECT_EQ(WideFromUtf8("ok\x80"), u"");              // stray continuation
  EXPECT_EQ(WideFromUtf8(""), u"");
}

TEST(AnsiFromUtf8, LongTextsConvertWholeOrNotAtAll) {
  // Several times longer than the conversion's internal buffer.
  std::string utf8;
  for (int i = 0; i < 5000; ++i) utf8 += "a\xC2\xAB";
  const std::string ansi = AnsiFromUtf8(utf8);
  EXPECT_EQ(ansi, AnsiFromWide(WideFromUtf8(utf8)));
  EXPECT_EQ(ansi.size(), 10000u);
  EXPECT_EQ(ansi.substr(0, 2), "a\xAB");  // U+00AB is 0xAB in 1251 and 1252
  // A bad sequence after the first buffers were converted still empties it.
  EXPECT_EQ(AnsiFromUtf8(utf8 + "\x80"), "");

  // ASCII runs of any length and alignment around the other characters.
  const std::string ascii(13, 'x');
  EXPECT_EQ(AnsiFromUtf8(ascii + "\xC2\xAB" + ascii + "\xC2\xBB\xC2\xAB" + "y"),
            ascii + "\xAB" + ascii + "\xBB\xAB" + "y");
  EXPECT_EQ(AnsiFromUtf8(ascii + "\xC3" + ascii), "");      // a lead byte followed by ASCII
  EXPECT_EQ(AnsiFromUtf8(ascii + "\xE2\x82" + "A"), "");   // a sequence cut short by ASCII
  EXPECT_EQ(AnsiFromUtf8(std::string(16, 'z') + "\xF0\x9F\x98\x80"), "");
}

TEST(Cp1251, ConvertsWhateverTheSystemCodePage) {
  EXPECT_EQ(WideFromCp1251("\xCF\xF0\xE8\xE2\xE5\xF2"), u"\u041F\u0440\u0438\u0432\u0435\u0442");
  EXPECT_EQ(Utf8FromWide(WideFromCp1251("\xA8\xB8")), "\xD0\x81\xD1\x91");  // Ё ё
}

TEST(SplitByChar, KeepsEmptyElements) {
  EXPECT_EQ(SplitByChar("", ','), Parts{});
  EXPECT_EQ(SplitByChar("a,b", ','), (Parts{"a", "b"}));
  EXPECT_EQ(SplitByChar("a,", ','), (Parts{"a", ""}));
  EXPECT_EQ(SplitByChar(",", ','), (Parts{"", ""}));
  EXPECT_EQ(SplitByChar(" a ", ','), Parts{" a "});
}

TEST(SplitByString, OnlyAOneCharacterSeparatorSplits) {
  EXPECT_EQ(SplitByString("a;b", ";"), (Parts{"a", "b"}));
  EXPECT_EQ(SplitByString("a;;b", ";;"), Parts{"a;;b"});
  EXPECT_EQ(SplitByString("", ";"), Parts{});
  const Parts cut = SplitByString("x;" + std::string(10005, 'y'), ";");
  ASSERT_EQ(cut.size(), 2u);
  EXPECT_EQ(cut[1].size(), 10000u);
}

TEST(NextToken, HonoursQuotes) {
  std::string text = "\"a;b\";c";
  EXPECT_EQ(NextToken(text, ';'), "\"a;b\"");
  EXPECT_EQ(text, "c");
  EXPECT_EQ(NextToken(text, ';'), "c");
  EXPECT_EQ(text, "");
  std::string open = "\"a;b;c";
  EXPECT_EQ(NextToken(open, ';'), "");
}

TEST(SplitToList, EndsAtTheFirstEmptyToken) {
  EXPECT_EQ(SplitToList("a;\"b;c\";d", ';'), (Parts{"a", "\"b;c\"", "d"}));
  EXPECT_EQ(SplitToList("a;;b", ';'), Parts{"a"});
  EXPECT_EQ(SplitToList("", ';'), Parts{});
}

TEST(TrimmedView, TrimsBlanksAndControlCharacters) {
  EXPECT_EQ(TrimmedView(" \t a b \r\n"), "a b");
  EXPECT_EQ(TrimmedView(" \x01 "), "");
  EXPECT_EQ(TrimmedView("\xC0"), "\xC0");  // bytes above 0x7F are text
}

TEST(PadLeft, TrimsThenFills) {
  EXPECT_EQ(PadLeft("0123456789", 12, '0'), "000123456789");
  EXPECT_EQ(PadLeft(" \t12\r\n", 4, '0'), "0012");
  EXPECT_EQ(PadLeft("123456", 4, '0'), "123456");
}

TEST(Paths, TrailingDelimiter) {
  EXPECT_EQ(IncludeTrailingBackslash(""), "/");
  EXPECT_EQ(IncludeTrailingBackslash("/var/log"), "/var/log/");
  EXPECT_EQ(IncludeTrailingBackslash("/var/log/"), "/var/log/");
}

}  // namespace
}  // namespace zuntar
