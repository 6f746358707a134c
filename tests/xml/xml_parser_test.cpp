#include "xml/xml_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zuntar {
namespace {

std::string Attributes(const TkelXMLNode2& node) {
  std::string out;
  for (const TkelXMLAttribute2& a : node.Attributes()) out += a.Name() + "=" + a.Value() + ";";
  return out;
}

TEST(XmlParser, ReadsElementsTheirLeadingTextAndAttributes) {
  TkelXMLParser2 doc;
  doc.LoadXML("<a><b>x</b></a>");
  EXPECT_EQ(doc.LastError(), "");
  EXPECT_EQ(doc.Name(), "a");
  ASSERT_EQ(doc.Children().Count(), 1u);
  const TkelXMLNode2& b = doc.Children()[0];
  EXPECT_EQ(b.Name(), "b");
  EXPECT_EQ(b.Text(), "x");
  EXPECT_EQ(b.Parent(), &doc);
  EXPECT_EQ(b.Document(), &doc);
  EXPECT_EQ(doc.Parent(), nullptr);
  EXPECT_EQ(doc.SelectNode("b"), &b);

  // Only the text before the first child is kept.
  doc.LoadXML("<a>  lead <b/>tail</a>");
  EXPECT_EQ(doc.LastError(), "");
  EXPECT_EQ(doc.Text(), "lead");
  ASSERT_EQ(doc.Children().Count(), 1u);
  EXPECT_EQ(doc.Children()[0].Text(), "");

  // End tags are not compared with what they close.
  doc.LoadXML("<a><b></c></a>");
  EXPECT_EQ(doc.LastError(), "");
  EXPECT_EQ(doc.SelectNode("b")->Parent(), &doc);

  // Entities are not resolved, in text or in values.
  doc.LoadXML("<a v=\"&lt;\">x &amp; y</a>");
  EXPECT_EQ(doc.Text(), "x &amp; y");
  EXPECT_EQ(Attributes(doc), "v=&lt;;");
}

TEST(XmlParser, NamesCarryTheirPrefix) {
  TkelXMLParser2 doc;
  doc.LoadXML("<soapenv:Envelope><Body/><a:b:c/></soapenv:Envelope>");
  EXPECT_EQ(doc.Prefix(), "soapenv");
  EXPECT_EQ(doc.Children()[0].Prefix(), "");
  EXPECT_EQ(doc.Children()[1].Prefix(), "a");
  EXPECT_EQ(doc.Children()[1].Name(), "a:b:c");
}

TEST(XmlParser, AttributesKeepFirstSeenOrderAndRawValues) {
  TkelXMLParser2 doc;
  doc.LoadXML("<a x=\"1\" y = '\"2\"' x='3' z=\"1>2\" w='>'><b/></a>");
  EXPECT_EQ(doc.LastError(), "");
  EXPECT_EQ(Attributes(doc), "x=3;y=\"2\";z=1>2;w=>;");  // a quoted ">" does not end the tag
  EXPECT_EQ(doc.Children().Count(), 1u);

  // A tag with many attributes, some repeated.
  std::string tag = "<a";
  for (int i = 0; i < 100; ++i) tag += " n" + std::to_string(i) + "='" + std::to_string(i) + "'";
  tag += " n0='last' n99='end' extra='e'/>";
  doc.LoadXML(tag + "</a>");
  ASSERT_EQ(doc.Attributes().Count(), 101u);
  EXPECT_EQ(doc.Attributes()[0].Value(), "last");
  EXPECT_EQ(doc.Attributes()[99].Value(), "end");
  EXPECT_EQ(doc.Attributes()[100].Name(), "extra");
}

TEST(XmlParser, EmptyTagsAtTheTopFillTheDocumentAgain) {
  TkelXMLParser2 doc;
  std::string text;
  for (int i = 0; i < 40; ++i) text += "<t" + std::to_string(i) + " k" + std::to_string(i) + "='" + std::to_string(i) + "'/>";
  doc.LoadXML(text + "<last k0='again' k39='end'><c/></last>");
  EXPECT_EQ(doc.LastError(), "");
  EXPECT_EQ(doc.Name(), "last");
  ASSERT_EQ(doc.Attributes().Count(), 40u);  // added to, never duplicated
  EXPECT_EQ(doc.Attributes()[0].Value(), "again");
  EXPECT_EQ(doc.Attributes()[39].Value(), "end");
  EXPECT_EQ(doc.Children().Count(), 1u);
}

TEST(XmlParser, EmptyElementsAndCData) {
  TkelXMLParser2 doc;
  doc.LoadXML("<r><a x='1' /><b/><c><![CDATA[ <d>&amp;</d> ]]></c><e>lead<![CDATA[cdata]]></e></r>");
  EXPECT_EQ(doc.LastError(), "");
  ASSERT_EQ(doc.Children().Count(), 4u);
  EXPECT_EQ(doc.Children()[0].Name(), "a");
  EXPECT_EQ(Attributes(doc.Children()[0]), "x=1;");
  EXPECT_TRUE(doc.Children()[1].Children().Empty());
  EXPECT_EQ(doc.Children()[2].Text(), "<d>&amp;</d>");
  EXPECT_TRUE(doc.Children()[2].Children().Empty());
  EXPECT_EQ(doc.Children()[3].Text(), "cdata");  // a CDATA section replaces the text before it
}

TEST(XmlParser, TextThatIsMostOfTheDocumentTakesTheSourceBuffer) {
  const std::string payload(4000, 'Q');
  TkelXMLParser2 doc;
  for (const std::string& body : {" " + payload + " ", "<![CDATA[" + payload + "]]>"}) {
    doc.LoadXML("<r k='v'><small>s</small><big>" + body + "</big><after x='1'>t</after></r>");
    EXPECT_EQ(doc.LastError(), "");
    EXPECT_EQ(doc.SelectNode("big")->Text(), payload);
    EXPECT_EQ(doc.SelectNode("small")->Text(), "s");
    EXPECT_EQ(Attributes(*doc.SelectNode("after")), "x=1;");
    EXPECT_EQ(Attributes(doc), "k=v;");
    EXPECT_EQ(doc.Source(), "");
  }
  // A load that fails after the large text keeps it with the rest read.
  doc.LoadXML("<r><big>" + payload + "</big><bad x=1>");
  EXPECT_EQ(doc.LastError().rfind("missing value delimiter", 0), 0u) << doc.LastError();
  EXPECT_EQ(doc.SelectNode("big")->Text(), payload);
  // Half the source or less stays a copy.
  doc.LoadXML("<root>QQQQQ</root>");
  EXPECT_EQ(doc.Text(), "QQQQQ");
  EXPECT_EQ(doc.Source(), "<root>QQQQQ</root>");
}

TEST(XmlParser, ReadsTheDeclaration) {
  TkelXMLParser2 doc;
  doc.LoadXML("<?xml version=\"1.0\" encoding='windows-1251' ?><a></a>");
  EXPECT_EQ(doc.LastError(), "");
  EXPECT_EQ(Attributes(doc.Declaration()), "version=1.0;encoding=windows-1251;");
  EXPECT_EQ(doc.Name(), "a");
}

TEST(XmlParser, ALoadReplacesEverything) {
  TkelXMLParser2 doc;
  doc.LoadXML("<?xml version='1.0'?><a x='1'>t<b/></a>");
  doc.LoadXML("<c></c>");
  EXPECT_EQ(doc.Name(), "c");
  EXPECT_EQ(doc.Text(), "");
  EXPECT_TRUE(doc.Attributes().Empty());
  EXPECT_TRUE(doc.Children().Empty());
  EXPECT_TRUE(doc.Declaration().Attributes().Empty());
  doc.LoadXML("<c><d>");
  doc.LoadXML("<e></e>");
  EXPECT_EQ(doc.LastError(), "");
}

struct Broken {
  std::string text;
  std::string error;  // what LastError begins with
  std::string root;   // the root's name as far as it was read
};

TEST(XmlParser, ProblemsEndTheLoadAndKeepWhatWasRead) {
  const std::vector<Broken> cases = {
      {"no tags at all", "Missing < near ", ""},
      {"", "Missing < near ", ""},
      {"<?xml version='1.0'", "Missing ?> in xml declaration. near ", ""},
      {"<?xml version=\"1.0?><a></a>", "Expected closing \" when parsing attributes near ", ""},
      {"<a><b", "Missing > near ", "a"},
      {"<a x></a>", "missing = when parsing attributes near ", "a"},
      {"<a x=1></a>", "missing value delimiter when parsing attributes near ", "a"},
      {"<a x=  ></a>", "missing value delimiter when parsing attributes near ", "a"},
      {"<a \"x=\"></a>", "Expected closing \" when parsing attributes near ", "a"},
      {"<a>text", "Expected < when parsing text near ", "a"},
      {"<a><![CDATA[x</a>", "Expected ]]> when parsing CDATA section near ", "a"},
      {"<a><b></b><!-- open", "Missing comment terminator --> near ", "a"},
      {"<a><b></b>", "Missing < near ", "a"},  // the root never closed
      {"<a/>", "Missing < near ", "a"},        // an empty root leaves no parent to close
  };
  for (const Broken& c : cases) {
    SCOPED_TRACE(c.text);
    TkelXMLParser2 doc;
    doc.LoadXML(c.text);
    EXPECT_EQ(doc.LastError().substr(0, c.error.size()), c.error);
    EXPECT_NE(doc.LastError().find("\r\nError position="), std::string::npos);
    EXPECT_EQ(doc.Name(), c.root);
  }
  TkelXMLParser2 doc;
  doc.LoadXML("<a><b/><c><d x=1/></c></a>");
  EXPECT_EQ(doc.Children().Count(), 2u);
  EXPECT_EQ(doc.SelectNode("c/d")->Name(), "d");  // created before its attributes failed
}

TEST(XmlParser, ErrorTextShowsTheSourceAroundThePosition) {
  TkelXMLParser2 doc;
  doc.LoadXML("<a><b");
  EXPECT_EQ(doc.LastError(), "Missing > near <a><b\r\nError position=4");

  // 20 characters before the failing "<", 50 in all.
  doc.LoadXML("<a>" + std::string(40, 'x') + "<b" + std::string(60, 'y'));
  EXPECT_EQ(doc.LastError(), "Missing > near " + std::string(20, 'x') + "<b" + std::string(28, 'y') +
                                 "\r\nError position=44");

  // Positions count in the text after comments went and line breaks became blanks.
  doc.LoadXML("<a><!-- note -->\r\n<b");
  EXPECT_EQ(doc.LastError(), "Missing > near <a>  <b\r\nError position=6");
}

TEST(XmlParser, AnUnterminatedCommentEndsTheLoad) {
  TkelXMLParser2 doc;
  doc.LoadXML("<a><b>1</b><!-- closed --><c>2</c><!-- open <d/></a>");
  EXPECT_EQ(doc.LastError().rfind("Missing comment terminator -->", 0), 0u);
  EXPECT_EQ(doc.Children().Count(), 2u);
  EXPECT_EQ(doc.SelectNode("c")->Text(), "2");
}

}  // namespace
}  // namespace zuntar
