#include "http/reply.h"

#include <gtest/gtest.h>

#include "platform/code_page.h"

namespace zuntar {
namespace {

TEST(MakeReply, EmptySuccess) {
  EXPECT_EQ(MakeReply(true, "", {}), "{\r\n\"Status\": true,\r\n\"Data\": null,\r\n\"Errors\": []\r\n}");
}

TEST(MakeReply, DataForms) {
  EXPECT_EQ(MakeReply(true, "foo", {}), "{\r\n\"Status\": true,\r\n\"Data\": \"Zm9v\",\r\n\"Errors\": []\r\n}");
  EXPECT_EQ(MakeReply(true, "0f1e2d3c4b5a69788796a5b4c3d2e1f0", {}, true),
            "{\r\n\"Status\": true,\r\n\"Data\": \"0f1e2d3c4b5a69788796a5b4c3d2e1f0\",\r\n\"Errors\": []\r\n}");
  EXPECT_EQ(MakeReply(false, "", {}, true), "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": []\r\n}");
}

TEST(MakeReply, ErrorTexts) {
  EXPECT_EQ(MakeReply(false, "", {"C:\\temp\\\"x\""}),
            "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"C:\\\\temp\\\\\\\"x\\\"\"]\r\n}");
  EXPECT_EQ(MakeReply(false, "", {"a", ""}), "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"a\"]\r\n}");
  EXPECT_EQ(MakeReply(false, "", {"", "a", "", "b"}),
            "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"a\",\"b\"]\r\n}");
  EXPECT_EQ(MakeReply(false, "", {"", ""}), "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": []\r\n}");
  EXPECT_EQ(MakeReply(false, "", {"one\r\ntwo\t"}),
            "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"one\\r\\ntwo\\t\"]\r\n}");
}

TEST(MakeReply, AnsiErrorsBecomeUtf8) {
  // The test binary's code page depends on its locale; both are covered.
  const std::string text = AnsiCodePage() == kCodePage1251 ? "\xCE\xF8\xE8\xE1\xEA\xE0" : "Caf\xE9";
  const std::string utf8 = AnsiCodePage() == kCodePage1251 ? "\xD0\x9E\xD1\x88\xD0\xB8\xD0\xB1\xD0\xBA\xD0\xB0"
                                                           : "Caf\xC3\xA9";
  EXPECT_EQ(MakeReply(false, "", {text}),
            "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"" + utf8 + "\"]\r\n}");
}

TEST(StreamedReply, PiecesMakeTheSameEnvelopeAsItsDeclaredLength) {
  std::string big(3 * 48 * 1024 + 2, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  for (const std::string& data : {std::string(), std::string("f"), std::string("foo"), big}) {
    const std::unique_ptr<ReplyBodySource> source = StreamedReply(data);
    std::string all, piece;
    while (source->Next(piece)) all += piece;
    EXPECT_EQ(all, MakeReply(true, data, {})) << data.size();
    EXPECT_EQ(source->Length(), all.size());
    EXPECT_FALSE(source->Next(piece));
  }
}

TEST(StreamedReply, PartsMakeTheEnvelopeOfTheirBytesAndEndOnlyAfterTheLastStep) {
  // Parts that end inside groups of three and inside pieces, an empty one
  // among them.
  std::string big(2 * 48 * 1024 + 5, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13);
  const std::vector<std::string_view> parts = {"ab", big, "", std::string_view(big).substr(7, 48 * 1024), "c"};
  std::string whole;
  for (const std::string_view part : parts) whole += part;
  const std::string expected = MakeReply(true, whole, {});
  std::string all, piece;
  size_t before_last = 0;
  int steps = 0;
  const std::unique_ptr<ReplyBodySource> source = StreamedReply(parts, [&] {
    ++steps;
    before_last = all.size();
  });
  while (source->Next(piece)) all += piece;
  EXPECT_TRUE(all == expected);
  EXPECT_EQ(source->Length(), expected.size());
  EXPECT_EQ(steps, 1);
  EXPECT_EQ(before_last, expected.rfind("\","));  // all the data out, not the envelope's end
}

TEST(MakeListReply, NullOrOneLineOfEntries) {
  const std::vector<std::string> none;
  EXPECT_EQ(MakeListReply(true, nullptr, {}), "{\r\n\"Status\": true,\r\n\"Data\": null,\r\n\"Errors\": []\r\n}");
  EXPECT_EQ(MakeListReply(true, &none, {}), "{\r\n\"Status\": true,\r\n\"Data\": null,\r\n\"Errors\": []\r\n}");
  const std::vector<std::string> two = {"{\"a\": 1}", "{\"b\": 2}"};
  EXPECT_EQ(MakeListReply(true, &two, {}),
            "{\r\n\"Status\": true,\r\n\"Data\": [\r\n{\"a\": 1},{\"b\": 2}],\r\n\"Errors\": []\r\n}");
  EXPECT_EQ(MakeListReply(false, &two, {"x"}),
            "{\r\n\"Status\": false,\r\n\"Data\": [\r\n{\"a\": 1},{\"b\": 2}],\r\n\"Errors\": [\"x\"]\r\n}");
}

TEST(JsonEscape, QuotesBackslashesAndEveryControlByte) {
  // A string JSON.parse reads back: nothing below 0x20 stays raw; DEL and
  // the code page's letters are kept.
  EXPECT_EQ(JsonEscape(std::string("a\\b\"c\r\n\t\b\f\x01\x1F\0/\x7F\xE9", 16)),
            "a\\\\b\\\"c\\r\\n\\t\\b\\f\\u0001\\u001f\\u0000/\x7F\xE9");
}

}  // namespace
}  // namespace zuntar
