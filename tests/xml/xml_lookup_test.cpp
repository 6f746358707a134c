#include <gtest/gtest.h>

#include <string>

#include "xml/xml_parser.h"

namespace zuntar {
namespace {

constexpr char kEnvelope[] =
    "<soapenv:Envelope xmlns:soapenv='http://schemas.xmlsoap.org/soap/envelope/'>"
    "<soapenv:Header/>"
    "<soapenv:Body>"
    "<EncryptedData>"
    "<KeyInfo><xenc:EncryptedKey><xenc:CipherData><xenc:CipherValue>S0VZ</xenc:CipherValue>"
    "</xenc:CipherData></xenc:EncryptedKey></KeyInfo>"
    "<xenc:CipherData><xenc:CipherValue>REFUQQ==</xenc:CipherValue></xenc:CipherData>"
    "</EncryptedData>"
    "</soapenv:Body>"
    "</soapenv:Envelope>";

const TkelXMLNode2* Select(const TkelXMLNode2& from, const std::string& path) { return from.SelectNode(path); }

std::string TextAt(const TkelXMLNode2& from, const std::string& path) {
  const TkelXMLNode2* node = from.SelectNode(path);
  return node == nullptr ? "<none>" : node->Text();
}

TEST(XmlLookup, PathsOfOtherPrefixesFindElementsByLocalName) {
  TkelXMLParser2 doc;
  doc.LoadXML(kEnvelope);
  ASSERT_EQ(doc.LastError(), "");
  EXPECT_EQ(TextAt(doc, "soap:Body/xenc:EncryptedData/ds:KeyInfo/xenc:EncryptedKey/xenc:CipherData/xenc:CipherValue"),
            "S0VZ");
  EXPECT_EQ(TextAt(doc, "soap:Body/xenc:EncryptedData/xenc:CipherData/xenc:CipherValue"), "REFUQQ==");
  const TkelXMLNode2* data = Select(doc, "Body/EncryptedData");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(TextAt(*data, "ds:KeyInfo/xenc:EncryptedKey/xenc:CipherData/xenc:CipherValue"), "S0VZ");
  EXPECT_EQ(TextAt(*data, "xenc:CipherData/xenc:CipherValue"), "REFUQQ==");
  // Names compare with case.
  EXPECT_EQ(Select(doc, "soap:body"), nullptr);
  // Without the fallback only the exact name matches.
  EXPECT_EQ(doc.FindChild("soap:Body", false, false), nullptr);
  EXPECT_EQ(doc.FindChild("soapenv:Body", false, false), Select(doc, "soap:Body"));
}

TEST(XmlLookup, TheFirstChildMatchingEitherWayWins) {
  TkelXMLParser2 doc;
  doc.LoadXML("<r><x:Body>1</x:Body><soap:Body>2</soap:Body><Body>3</Body></r>");
  EXPECT_EQ(TextAt(doc, "soap:Body"), "1");
  EXPECT_EQ(TextAt(doc, "Body"), "1");
  EXPECT_EQ(doc.FindChild("soap:Body", false, false)->Text(), "2");
  EXPECT_EQ(doc.FindChild("Body", false, false)->Text(), "3");
}

TEST(XmlLookup, EmptySegmentsEndTheWalk) {
  TkelXMLParser2 doc;
  doc.LoadXML("<r><b><c>1</c></b><x/></r>");
  const TkelXMLNode2* b = Select(doc, "b");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Select(doc, "b/c")->Text(), "1");
  EXPECT_EQ(Select(doc, "b/"), b);
  EXPECT_EQ(Select(doc, "b//c"), b);
  EXPECT_EQ(Select(doc, "b/c/"), Select(doc, "b/c"));
  EXPECT_EQ(Select(doc, "/b"), nullptr);
  EXPECT_EQ(Select(doc, "/"), nullptr);
  EXPECT_EQ(Select(doc, "//"), nullptr);
  EXPECT_EQ(Select(doc, ""), nullptr);
  EXPECT_EQ(Select(doc, "b/x"), nullptr);  // x is not under b
  EXPECT_EQ(Select(doc, "b/c/d"), nullptr);
  EXPECT_EQ(Select(doc, "q/c"), nullptr);
  EXPECT_EQ(Select(*b, "c")->Text(), "1");  // paths start where they are called
}

TEST(XmlLookup, RecursiveSearchGoesDepthFirst) {
  TkelXMLParser2 doc;
  doc.LoadXML("<r><a><b><t>deep</t></b></a><t>shallow</t><c><t>later</t></c></r>");
  EXPECT_EQ(doc.FindChild("t", false, true)->Text(), "deep");
  EXPECT_EQ(doc.FindChild("t", false, false)->Text(), "shallow");
  EXPECT_EQ(doc.FindChild("x:t", true, true)->Text(), "deep");
  EXPECT_EQ(doc.FindChild("x:t", false, true), nullptr);
  EXPECT_EQ(doc.FindChild("missing", true, true), nullptr);
  EXPECT_EQ(doc.SelectNode("c")->FindChild("t", false, true)->Text(), "later");
}

TEST(XmlLookup, SetAttributeReplacesOrAppends) {
  TkelXMLParser2 doc;
  doc.LoadXML("<r a='1'></r>");
  doc.SetAttribute("b", "2");
  doc.SetAttribute("a", "3");
  doc.SetAttribute("A", "4");  // names compare with case
  ASSERT_EQ(doc.Attributes().Count(), 3u);
  EXPECT_EQ(doc.Attributes()[0].Value(), "3");
  EXPECT_EQ(doc.Attributes()[1].Name(), "b");
  EXPECT_EQ(doc.Attributes()[2].Name(), "A");
}

}  // namespace
}  // namespace zuntar
