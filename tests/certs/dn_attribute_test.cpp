#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "certs/dn_string.h"
#include "core/utf.h"

namespace zuntar {
namespace {

struct Lookup {
  const char* dn;
  const char* key;
  const char* value;
};

// Values are neither escaped nor quoted, so a value runs to the last comma
// before the next label's "=".
TEST(GetDNAttribute, ValuesWithCommasAndEqualsSigns) {
  const Lookup cases[] = {
      {"O=Firm, Ltd,L=Town", "O", "Firm, Ltd"},
      {"O=Firm, Ltd,L=Town", "L", "Town"},
      {"unstructuredName=INN=1/KPP=2,CN=X", "unstructuredName", "INN=1/KPP=2"},
      {"CN=A,O=B, C,L=D", "O", "B, C"},
      // The blank-led C inside the O value has no equals sign of its own.
      {"CN=A,O=B, C,L=D", "C", ""},
      // The last attribute runs to the end of the string.
      {"CN=A,O=B, C,L=D", "L", "D"},
      {"CN=A,O=B, C,L=D", "CN", "A"},
      // A label inside an earlier value is found first: its value, cut back
      // to the last comma before the next "=", is empty.
      {"CN=X,unstructuredName=INN=7/KPP=1,INN=5", "INN", ""},
      // In the order GetCertInfo writes, INN comes before unstructuredName.
      {"CN=X,INN=5,unstructuredName=INN=7/KPP=1", "INN", "5"},
      {"CN=X,INN=5,unstructuredName=INN=7/KPP=1", "unstructuredName", "INN=7/KPP=1"},
      {"CN=X,1.2.840.113549.1.9.2=INN=7/KPP=1,1.2.643.100.1=102", "1.2.840.113549.1.9.2", "INN=7/KPP=1"},
      // Labels may be OIDs (strings of other origin), with blanks around.
      {"2.5.4.3=Name, 1.2.643.100.1=1027700132195", "1.2.643.100.1", "1027700132195"},
      {"2.5.4.3=Name, 1.2.643.100.1=1027700132195", "2.5.4.3", "Name"},
      // Exact, case-sensitive labels; missing ones give nothing.
      {"CN=A,O=B", "o", ""},
      {"CN=A,O=B", "OGRN", ""},
      {"CN=A,INNLE=7701234567,INN=007701234567", "INN", "007701234567"},
      {"", "CN", ""},
      {"no equals sign", "CN", ""},
      {"CN=", "CN", ""},
  };
  for (const Lookup& c : cases) EXPECT_EQ(GetDNAttribute(c.dn, c.key), c.value) << c.dn << " / " << c.key;
}

TEST(GetDNAttribute, DecodesHexEscapesOfTheValue) {
  EXPECT_EQ(GetDNAttribute("CN=\\xD0\\x9F\\xD0\\xB5,O=x", "CN"), AnsiFromUtf8("Пе"));
  EXPECT_EQ(GetDNAttribute("CN=A,O=ab\\xD0\\x9F", "O"), "ab" + AnsiFromUtf8("П"));
}

TEST(DecodeHexEscapes, EscapedUtf8BecomesAnsi) {
  EXPECT_EQ(DecodeHexEscapes("\\xD0\\x9F"), AnsiFromUtf8("П"));
  EXPECT_EQ(DecodeHexEscapes("\\xd0\\x9f"), AnsiFromUtf8("П"));
  // Text before the first escape is kept; after it, plain characters and
  // escapes are decoded together.
  EXPECT_EQ(DecodeHexEscapes("abc\\xD0\\x9Fd"), "abc" + AnsiFromUtf8("Пd"));
  EXPECT_EQ(DecodeHexEscapes("no escapes \\X41 \\"), "no escapes \\X41 \\");
  // 00 and non-hex digits add nothing, but are consumed.
  EXPECT_EQ(DecodeHexEscapes("\\x00A\\xZZB\\x4gC"), "ABC");
  // Bytes that are not UTF-8 empty the decoded part only.
  EXPECT_EQ(DecodeHexEscapes("keep\\xD0"), "keep");
  EXPECT_EQ(DecodeHexEscapes("keep\\xFF\\x41"), "keep");
}

TEST(DecodeHexEscapes, EscapesAtTheEndNeverReadPastIt) {
  EXPECT_EQ(DecodeHexEscapes("\\x41"), "A");
  EXPECT_EQ(DecodeHexEscapes("a\\x41"), "aA");
  // An escape cut short is copied as it stands.
  EXPECT_EQ(DecodeHexEscapes("\\x41\\x4"), "A\\x4");
  EXPECT_EQ(DecodeHexEscapes("\\x41\\x"), "A\\x");
  EXPECT_EQ(DecodeHexEscapes("\\x41\\"), "A\\");
  EXPECT_EQ(DecodeHexEscapes("\\x"), "\\x");
  EXPECT_EQ(DecodeHexEscapes("\\x4"), "\\x4");
  // A text that ends inside an escape, with nothing after it in memory: a
  // sanitizer build catches any read beyond its end.
  const std::unique_ptr<char[]> exact(new char[7]);
  std::memcpy(exact.get(), "\\x41\\x9", 7);
  EXPECT_EQ(DecodeHexEscapes(std::string_view(exact.get(), 7)), "A\\x9");
}

TEST(SubjectPersonName, SurnameAndGivenNamesThenFallbacks) {
  EXPECT_EQ(SubjectPersonName("CN=Ivanov I I,SN=Ivanov,GN=Ivan Ivanovich"), "Ivanov Ivan Ivanovich");
  EXPECT_EQ(SubjectPersonName("CN=Ivanov I I,SN=Ivanov"), "Ivanov");
  EXPECT_EQ(SubjectPersonName("CN=Ivanov I I,GN=Ivan"), "Ivan");
  EXPECT_EQ(SubjectPersonName("CN=Ivanov I I"), "");

  EXPECT_EQ(SubjectPersonNameOrCommonName("CN=X,SN=Ivanov,GN=Ivan"), "Ivanov Ivan");
  EXPECT_EQ(SubjectPersonNameOrCommonName("2.5.4.3=X, 2.5.4.4=Petrov, 2.5.4.42=Petr"), "Petrov Petr");
  EXPECT_EQ(SubjectPersonNameOrCommonName("CN=Firm, Ltd,O=Firm"), "Firm, Ltd");
  EXPECT_EQ(SubjectPersonNameOrCommonName("O=Firm"), "");
}

}  // namespace
}  // namespace zuntar
