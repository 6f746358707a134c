#include "xml/xml_source.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/utf.h"
#include "xml/xml_parser.h"

namespace zuntar {
namespace {

TEST(XmlSource, EncodingIsUtf8WhenNamedSoOrNotNamed) {
  EXPECT_TRUE(IsUtf8XmlText("<?xml version=\"1.0\" encoding=\"utf-8\"?><a/>"));
  EXPECT_TRUE(IsUtf8XmlText("<?xml version='1.0' encoding='UTF-8'?><a/>"));
  EXPECT_TRUE(IsUtf8XmlText("<a/>"));
  EXPECT_FALSE(IsUtf8XmlText("<?xml version=\"1.0\" encoding=\"windows-1251\"?><a/>"));
  EXPECT_FALSE(IsUtf8XmlText("<?xml version=\"1.0\" encoding=\"utf8\"?><a/>"));
  // Only the first 100 characters are looked at.
  EXPECT_TRUE(IsUtf8XmlText("<?xml version=\"1.0\"" + std::string(100, ' ') + "encoding=\"windows-1251\"?>"));
}

TEST(XmlSource, Utf8DocumentsBecomeAnsi) {
  TkelXMLParser2 doc;
  // A byte-order mark before the first tag is dropped; U+00AB is 0xAB in
  // both code pages the program runs with.
  doc.LoadXML("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?><a>\xC2\xAB\xD0\x96</a>");
  EXPECT_EQ(doc.LastError(), "");
  EXPECT_EQ(doc.Text(), AnsiFromUtf8("\xC2\xAB\xD0\x96"));
  EXPECT_EQ(doc.Text()[0], '\xAB');

  // A document that names another encoding is taken byte for byte.
  doc.LoadXML("<?xml version=\"1.0\" encoding=\"windows-1251\"?><a>\xCF\xF0\xE8</a>");
  EXPECT_EQ(doc.LastError(), "");
  EXPECT_EQ(doc.Text(), "\xCF\xF0\xE8");

  // Invalid UTF-8 in a document that claims UTF-8 leaves nothing to read.
  doc.LoadXML("<a>\xCF\xF0\xE8</a>");
  EXPECT_EQ(doc.Source(), "");
  EXPECT_EQ(doc.Name(), "");
  EXPECT_EQ(doc.LastError().rfind("Missing <", 0), 0u);
}

TEST(XmlSource, CommentsGoUntilOneHasNoEnd) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a<!--x-->b", "ab"},
      {"a<!--x-->b<!--y-->c", "abc"},
      {"<!---->", ""},
      {"<!-->", "<!-->"},  // the terminator must follow the whole opener
      {"a<!--x", "a<!--x"},
      {"a<!--x-->b<!--y<!--z", "ab<!--y<!--z"},
      {"<!--a<!--b-->c-->", "c-->"},
      {"no comment", "no comment"},
  };
  for (const auto& [text, expected] : cases) {
    std::string s = text;
    RemoveXmlComments(s);
    EXPECT_EQ(s, expected) << text;
  }
}

TEST(XmlSource, StyleSheetAndLineBreaksGo) {
  EXPECT_EQ(PrepareXmlSource("<?xml-stylesheet href='a'?><?xml-stylesheet href='b'?><a\tx='1'\r\n/>"),
            "<?xml-stylesheet href='b'?><a x='1'  />");
  EXPECT_EQ(PrepareXmlSource("<?xml-stylesheet href='a'<a/>"), "<?xml-stylesheet href='a'<a/>");
  TkelXMLParser2 doc;
  doc.LoadXML("<a\r\n\tx='1'\n><!-- c --><b>\r\n  t\t</b></a>");
  EXPECT_EQ(doc.LastError(), "");
  EXPECT_EQ(doc.Attributes()[0].Name(), "x");
  EXPECT_EQ(doc.SelectNode("b")->Text(), "t");
}

}  // namespace
}  // namespace zuntar
