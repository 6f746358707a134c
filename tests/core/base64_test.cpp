#include "core/base64.h"

#include <gtest/gtest.h>

#include <random>

namespace zuntar {
namespace {

TEST(Base64, EncodesWithPadding) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode(std::string("\xFB\xFF\x00", 3)), "+/8A");
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
  std::mt19937 rng(7);
  for (size_t len = 0; len < 300; ++len) {
    std::string data(len, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    ASSERT_EQ(Base64Decode(Base64Encode(data)), data) << "length " << len;
  }
}

TEST(Base64, DecoderSkipsCharactersOutsideTheAlphabet) {
  const std::string plain = Base64Encode("The quick brown fox jumps over the lazy dog");
  std::string broken;
  for (size_t i = 0; i < plain.size(); ++i) {
    broken += plain[i];
    if (i % 5 == 0) broken += "\r\n";
    if (i % 7 == 0) broken += " *\t";
  }
  EXPECT_EQ(Base64Decode(broken), "The quick brown fox jumps over the lazy dog");
}

TEST(Base64, DecoderStopsAtTheEndMarkAndDropsPartialGroups) {
  EXPECT_EQ(Base64Decode("Zg=="), "f");
  EXPECT_EQ(Base64Decode("Zm8="), "fo");
  EXPECT_EQ(Base64Decode("Zg==Zm9v"), "f");  // nothing after the end mark
  EXPECT_EQ(Base64Decode("Zm9vYg"), "foo");  // "Yg" is an incomplete group
  EXPECT_EQ(Base64Decode("Zm9vY"), "foo");
  EXPECT_EQ(Base64Decode("Zg="), "");  // three values only
  EXPECT_EQ(Base64Decode("!!!"), "");
  EXPECT_EQ(Base64Decode(""), "");
}

TEST(Base64, DecodingInPlaceMatchesTheCopyingDecoder) {
  std::mt19937 rng(11);
  for (size_t len = 0; len < 200; ++len) {
    std::string data(len, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    // Line breaks and junk between the groups, as pages send them.
    std::string text;
    for (char c : Base64Encode(data)) {
      text += c;
      if (rng() % 9 == 0) text += "\r\n";
      if (rng() % 13 == 0) text += '*';
    }
    std::string in_place = text;
    Base64DecodeInPlace(in_place);
    ASSERT_EQ(in_place, Base64Decode(text)) << "length " << len;
    ASSERT_EQ(in_place, data) << "length " << len;
  }
  std::string ended = "Zg==Zm9v";
  Base64DecodeInPlace(ended);
  EXPECT_EQ(ended, "f");
}

}  // namespace
}  // namespace zuntar
