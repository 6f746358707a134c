#include "certs/cert_info.h"

#include <gtest/gtest.h>

#include "certs/cert_info_parts.h"
#include "certs/dn_string.h"
#include "certs/naming_certs.h"
#include "core/utf.h"

namespace zuntar {
namespace {

using test::NamingCerts;

// Every field at its cleared value.
void ExpectCleared(const VCERT_INFO& i) {
  EXPECT_EQ(i.Flags, 0u);
  for (const std::string* s :
       {&i.IssuerName, &i.SerialNumber, &i.SubjectName, &i.SignatureAlgorithm, &i.IssuerAltO,
        &i.IssuerAltRegisteredAddress, &i.IssuerAltSurname, &i.IssuerAltBusinessCategory, &i.SubjectAltO,
        &i.SubjectAltRegisteredAddress, &i.SubjectAltSurname, &i.SubjectAltBusinessCategory, &i.ExtTail,
        &i.Thumbprint})
    EXPECT_TRUE(s->empty()) << *s;
  for (int64_t n : {i.NotBefore, i.NotAfter, i.PrivateKeyNotBefore, i.PrivateKeyNotAfter}) EXPECT_EQ(n, 0);
  EXPECT_EQ(i.KeyUsage, 0u);
  EXPECT_EQ(i.PolicyCount, 0);
  EXPECT_TRUE(i.Policies.empty());
  EXPECT_EQ(i.EkuCount, 0);
  EXPECT_TRUE(i.Eku.empty());
  EXPECT_EQ(i.ThumbprintLength, 0);
}

constexpr uint32_t kAll = 0x6EFE7;

class CertInfoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { certs_ = new NamingCerts; }
  static void TearDownTestSuite() { delete certs_; }

  static VCERT_INFO Info(const Bytes& body, uint32_t flags) {
    VCERT_INFO info;
    GetCertInfo(body, flags, info);
    return info;
  }
  static VCERT_INFO InfoOf(const CertRequest& r, uint32_t flags) {
    const Bytes body = certs_->Issue(r);
    EXPECT_FALSE(body.empty());
    return Info(body, flags);
  }

  static NamingCerts* certs_;
};

NamingCerts* CertInfoTest::certs_ = nullptr;

TEST_F(CertInfoTest, SubjectStringListsTheAttributesInTableOrder) {
  CertRequest r = test::UserRequest("x");
  // Encoded in an order of their own: the string follows the table.
  r.subject = {{"1.2.840.113549.1.9.2", "INN=7701234567/KPP=770101001"},
               {"2.5.4.9", "ул. Ленина, 1"},
               {"1.2.643.100.3", "12345678901"},
               {"1.2.643.100.5", "304770000000001"},
               {"1.2.643.100.1", "1027700132195"},
               {"1.2.643.3.141.1.2", "770101"},
               {"1.2.643.3.141.1.1", "7701000001"},
               {"1.2.643.100.4", "7701234567"},
               {"1.2.643.3.131.1.1", "007701234567"},
               {"1.2.840.113549.1.9.1", "ivanov@example.ru"},
               {"2.5.4.42", "Иван Иванович"},
               {"2.5.4.4", "Иванов"},
               {"2.5.4.12", "Директор"},
               {"2.5.4.6", "RU"},
               {"2.5.4.11", "Отдел"},
               {"2.5.4.8", "77 Москва"},
               {"2.5.4.7", "Москва"},
               {"2.5.4.10", "ООО \"Ромашка\""},
               {"2.5.4.3", "Иванов Иван Иванович"},
               {"2.5.4.5", "not listed"}};
  const VCERT_INFO info = InfoOf(r, VCERT_INFO_SUBJECT);
  EXPECT_EQ(info.SubjectName,
            AnsiFromUtf8("CN=Иванов Иван Иванович,O=ООО \"Ромашка\",L=Москва,ST=77 Москва,OU=Отдел,C=RU,"
                         "T=Директор,SN=Иванов,GN=Иван Иванович,E=ivanov@example.ru,INN=007701234567,"
                         "INNLE=7701234567,RNS-FSS=7701000001,KP-FSS=770101,OGRN=1027700132195,"
                         "OGRNIP=304770000000001,SNILS=12345678901,streetAddress=ул. Ленина, 1,"
                         "unstructuredName=INN=7701234567/KPP=770101001"));
  // Everything written reads back, commas and equals signs in values
  // included.
  const std::pair<const char*, const char*> back[] = {
      {"CN", "Иванов Иван Иванович"}, {"O", "ООО \"Ромашка\""},  {"ST", "77 Москва"},
      {"C", "RU"},                    {"INN", "007701234567"},    {"INNLE", "7701234567"},
      {"KP-FSS", "770101"},           {"SNILS", "12345678901"},   {"streetAddress", "ул. Ленина, 1"},
      {"unstructuredName", "INN=7701234567/KPP=770101001"},
  };
  for (const auto& [key, value] : back) EXPECT_EQ(GetDNAttribute(info.SubjectName, key), AnsiFromUtf8(value)) << key;
  EXPECT_EQ(SubjectPersonName(info.SubjectName), AnsiFromUtf8("Иванов Иван Иванович"));
}

TEST_F(CertInfoTest, IssuerStringLeavesOutTheSubjectOnlyNumbers) {
  const VCERT_INFO info = InfoOf(test::UserRequest("Петров"), VCERT_INFO_ISSUER | VCERT_INFO_SUBJECT);
  EXPECT_EQ(info.IssuerName,
            AnsiFromUtf8("CN=Тестовый УЦ,O=Тестовый УЦ,C=RU,INN=007700000001,OGRN=1027700000001"));
  EXPECT_EQ(info.SubjectName,
            AnsiFromUtf8("CN=Петров,O=ООО \"Ромашка\",L=Москва,ST=77 Москва,C=RU,SN=Иванов,GN=Иван Иванович,"
                         "INN=007701234567,INNLE=7701234567,OGRN=1027700132195,SNILS=12345678901"));
  // The CA's own subject string has them.
  EXPECT_EQ(Info(certs_->Ca(), VCERT_INFO_SUBJECT).SubjectName,
            AnsiFromUtf8("CN=Тестовый УЦ,O=Тестовый УЦ,C=RU,INN=007700000001,INNLE=7700000001,"
                         "RNS-FSS=7700000002,KP-FSS=770001,OGRN=1027700000001"));
}

TEST_F(CertInfoTest, SubjectWithoutCommonNameStillStartsWithCn) {
  CertRequest r = test::UserRequest("x");
  r.subject = {{"2.5.4.6", "RU"}, {"2.5.4.10", "Организация"}};
  EXPECT_EQ(InfoOf(r, VCERT_INFO_SUBJECT).SubjectName, AnsiFromUtf8("CN=Организация,O=Организация,C=RU"));
  r.subject = {{"1.2.643.100.3", "12345678901"}};
  EXPECT_EQ(InfoOf(r, VCERT_INFO_SUBJECT).SubjectName, "CN=12345678901,SNILS=12345678901");
  r.subject = {};
  EXPECT_EQ(InfoOf(r, VCERT_INFO_SUBJECT).SubjectName, "CN=");
}

TEST_F(CertInfoTest, LongValuesAreCutToTheNameBuffer) {
  CertRequest r = test::UserRequest("x");
  r.subject = {{"2.5.4.3", std::string(3000, 'c')}, {"2.5.4.9", std::string(2097, 's') + "cut"}};
  EXPECT_EQ(InfoOf(r, VCERT_INFO_SUBJECT).SubjectName,
            "CN=" + std::string(2097, 'c') + ",streetAddress=" + std::string(2097, 's'));
}

TEST_F(CertInfoTest, SerialValidityThumbprintAndAlgorithm) {
  CertRequest r = test::UserRequest("x");
  r.serial = "\x0A\x1B\x2C";
  r.not_before = 1709287201;    // 2024-03-01 10:00:01 UTC
  r.not_after = 2524608000;     // 2050-01-01, past 32-bit seconds
  const Bytes body = certs_->Issue(r);
  const VCERT_INFO info = Info(body, kAll);
  EXPECT_EQ(info.Flags, kAll);
  EXPECT_EQ(info.SerialNumber, "0A:1B:2C");
  EXPECT_EQ(info.NotBefore, 1709287201);
  EXPECT_EQ(info.NotAfter, 2524608000);
  EXPECT_EQ(info.SignatureAlgorithm, szOID_CP_GOST_R3411_12_256_R3410);
  EXPECT_EQ(info.ThumbprintLength, 20);
  EXPECT_EQ(info.Thumbprint, ossl::Sha1(body));

  // A serial whose top bit is set keeps the zero byte of its encoding.
  r.serial = "\x8A\x1B";
  EXPECT_EQ(InfoOf(r, VCERT_INFO_SERIAL).SerialNumber, "00:8A:1B");
}

TEST_F(CertInfoTest, KeyUsageBitsFollowTheTable) {
  const std::pair<BYTE, uint32_t> table[] = {
      {0x80, VCERT_KU_DIGITAL_SIGNATURE}, {0x40, VCERT_KU_NON_REPUDIATION}, {0x20, VCERT_KU_KEY_ENCIPHERMENT},
      {0x10, VCERT_KU_DATA_ENCIPHERMENT}, {0x08, VCERT_KU_KEY_AGREEMENT},   {0x04, VCERT_KU_KEY_CERT_SIGN},
      {0x02, VCERT_KU_CRL_SIGN},          {0x01, 0},  // encipherOnly is not carried
      {0xFF, 0x7F},
  };
  CertRequest r = test::UserRequest("x");
  for (const auto& [bits, expected] : table) {
    r.key_usage = bits;
    EXPECT_EQ(InfoOf(r, VCERT_INFO_KEY_USAGE).KeyUsage, expected) << int{bits};
  }
  r.key_usage.reset();
  EXPECT_EQ(InfoOf(r, VCERT_INFO_KEY_USAGE).KeyUsage, 0u);
}

TEST_F(CertInfoTest, OnlyRequestedPartsAreFilled) {
  // The container naming asks for the subject and the validity start.
  VCERT_INFO info = InfoOf(test::UserRequest("x"), VCERT_INFO_SUBJECT | VCERT_INFO_NOT_BEFORE);
  EXPECT_EQ(info.Flags, 0x24u);
  EXPECT_FALSE(info.SubjectName.empty());
  EXPECT_NE(info.NotBefore, 0);
  info.SubjectName.clear();
  info.NotBefore = 0;
  info.Flags = 0;
  ExpectCleared(info);

  info = InfoOf(test::UserRequest("x"), kAll);
  FreeCertInfo(info);
  ExpectCleared(info);
}

TEST_F(CertInfoTest, NotACertificateLeavesTheRecordCleared) {
  VCERT_INFO info = Info(certs_->Issue(test::UserRequest("x")), kAll);
  ASSERT_EQ(info.Flags, kAll);
  for (const Bytes& junk : {Bytes(), Bytes("garbage"), certs_->Ca().substr(0, 100), certs_->Ca() + "x"}) {
    GetCertInfo(junk, kAll, info);
    ExpectCleared(info);
  }
}

TEST_F(CertInfoTest, PrivateKeyUsagePeriod) {
  CertRequest r = test::UserRequest("x");
  r.private_key_usage_period = {{-86400, 253402300799}};  // 1969-12-31 to 9999-12-31 23:59:59
  // Either flag fills both ends.
  VCERT_INFO info = InfoOf(r, VCERT_INFO_PKUP_NOT_AFTER);
  EXPECT_EQ(info.PrivateKeyNotBefore, -86400);
  EXPECT_EQ(info.PrivateKeyNotAfter, 253402300799);

  // Digits that are not a time leave their end 0; a value too short for its
  // digits is never read past.
  const std::pair<Bytes, std::pair<int64_t, int64_t>> cases[] = {
      {"\x30\x22\x80\x0F" "2024030110000XZ\x81\x0F" "20250301100001Z", {0, 1740823201}},
      {"\x30\x22\x80\x0F" "20240301100001Z\x81\x0F" "20250229100001Z", {1709287201, 0}},
      {"\x30\x07\x80\x0F" "20240", {0, 0}},
  };
  r.private_key_usage_period.reset();
  for (const auto& [value, period] : cases) {
    r.extra_extensions = {{szOID_PRIVATEKEY_USAGE_PERIOD, false, value}};
    info = InfoOf(r, VCERT_INFO_PKUP_NOT_BEFORE);
    EXPECT_EQ(info.PrivateKeyNotBefore, period.first) << value;
    EXPECT_EQ(info.PrivateKeyNotAfter, period.second) << value;
  }
}

TEST(SecondsFromTimeDigits, DigitsAndCalendarAreChecked) {
  using cert_info::SecondsFromTimeDigits;
  EXPECT_EQ(SecondsFromTimeDigits("19700101000000"), 0);
  EXPECT_EQ(SecondsFromTimeDigits("19691231235959"), -1);
  EXPECT_EQ(SecondsFromTimeDigits("20240229235959"), 1709251199);
  EXPECT_EQ(SecondsFromTimeDigits("99991231235959"), 253402300799);
  EXPECT_EQ(SecondsFromTimeDigits("20000229000000"), 951782400);
  for (const char* bad : {"19000229000000", "20230431000000", "20240100000000", "20240101000060", "2024010100000",
                          "202401010000000", "+2024010100000", "2024 101000000", ""})
    EXPECT_FALSE(SecondsFromTimeDigits(bad).has_value()) << bad;
}

TEST_F(CertInfoTest, ExtendedKeyUsageUpTo1024) {
  CertRequest r = test::UserRequest("x");
  VCERT_INFO info = InfoOf(r, VCERT_INFO_EXT_KEY_USAGE);
  EXPECT_EQ(info.EkuCount, 2);
  EXPECT_EQ(info.Eku, (std::vector<std::string>{"1.3.6.1.5.5.7.3.2", "1.3.6.1.5.5.7.3.4"}));

  r.extended_key_usage.clear();
  for (int i = 0; i < 1024; ++i) r.extended_key_usage.push_back("1.2.643.2.2.34." + std::to_string(i + 1));
  info = InfoOf(r, VCERT_INFO_EXT_KEY_USAGE);
  EXPECT_EQ(info.EkuCount, 1024);
  ASSERT_EQ(info.Eku.size(), 1024u);
  EXPECT_EQ(info.Eku.back(), "1.2.643.2.2.34.1024");

  r.extended_key_usage.push_back("1.2.643.2.2.34.1025");
  info = InfoOf(r, VCERT_INFO_EXT_KEY_USAGE);
  EXPECT_EQ(info.EkuCount, 0);
  EXPECT_TRUE(info.Eku.empty());
}

TEST_F(CertInfoTest, PoliciesHoldTheirOidsHoweverMany) {
  CertRequest r = test::UserRequest("x");
  for (int i = 0; i < 1500; ++i) r.policies.push_back("1.2.643.100.114." + std::to_string(i));
  const VCERT_INFO info = InfoOf(r, VCERT_INFO_POLICIES);
  ASSERT_EQ(info.PolicyCount, 1502);
  EXPECT_EQ(info.Policies[1].pszPolicyIdentifier, "1.2.643.100.113.2");
  EXPECT_EQ(info.Policies[1501].pszPolicyIdentifier, "1.2.643.100.114.1499");
}

TEST_F(CertInfoTest, ExtTailIsTheLastTwelveBytes) {
  const std::pair<Bytes, std::string> cases[] = {
      {"\x04\x0E" "abcdefghijklmn", "cdefghijklmn"},
      {std::string("\x04\x0E" "abcdefgh\0jklmn", 16), "cdefgh"},
      {"\x04\x0A" "0123456789", ""},  // 12 bytes: nothing
  };
  for (const auto& [value, tail] : cases) {
    CertRequest r = test::UserRequest("x");
    r.extra_extensions = {{"1.3.6.1.4.1.10244.4.3", false, value}};
    EXPECT_EQ(InfoOf(r, VCERT_INFO_EXT_TAIL).ExtTail, tail);
  }
}

// Values of 127, 128, 255 and 256 bytes have headers of 2, 3, 3 and 4
// bytes; each must lose exactly its header.
TEST_F(CertInfoTest, SubjectAltNameValuesOfEveryHeaderSize) {
  std::string cyrillic_255 = "x";
  for (int i = 0; i < 127; ++i) cyrillic_255 += "Ж";
  ASSERT_EQ(cyrillic_255.size(), 255u);
  CertRequest r = test::UserRequest("x");
  r.subject_alt_other_names = {{"2.5.4.10", std::string(127, 'o')},
                               {"2.5.4.26", std::string(128, 'a')},
                               {"2.5.4.4", cyrillic_255},
                               {"2.5.4.15", std::string(256, 'b')},
                               {"2.5.4.3", "not carried"}};
  const VCERT_INFO info = InfoOf(r, VCERT_INFO_SUBJECT_ALT_NAME);
  EXPECT_EQ(info.SubjectAltO, std::string(127, 'o'));
  EXPECT_EQ(info.SubjectAltRegisteredAddress, std::string(128, 'a'));
  EXPECT_EQ(info.SubjectAltSurname, AnsiFromUtf8(cyrillic_255));
  EXPECT_EQ(info.SubjectAltBusinessCategory, std::string(256, 'b'));
  EXPECT_TRUE(info.IssuerAltO.empty());
}

TEST_F(CertInfoTest, IssuerAltNameOtherNamesOnlyLaterOnesWin) {
  const Bytes names = ber::Wrap(
      0x30, ber::Wrap(0x82, "ca.example") + test::OtherNameEntry("2.5.4.10", ber::Wrap(0x0C, "First")) +
                test::OtherNameEntry("2.5.4.10", ber::Wrap(0x0C, "Second")) +
                test::OtherNameEntry("2.5.4.10", ber::Wrap(0x0C, "")) +  // empty: kept out
                test::OtherNameEntry("2.5.4.15", ber::Wrap(0x13, "Printable")) +
                test::OtherNameEntry("2.5.4.26", ber::Wrap(0x0C, std::string(70000, 'r'))) +
                test::OtherNameEntry("2.5.4.4", ber::Wrap(0x0C, "\xFF\xFE")) +  // not UTF-8
                test::OtherNameEntry("1.2.3.4", ber::Wrap(0x0C, "ignored")));
  CertRequest r = test::UserRequest("x");
  r.extra_extensions = {{szOID_ISSUER_ALT_NAME2, false, names}};
  const VCERT_INFO info = InfoOf(r, VCERT_INFO_ISSUER_ALT_NAME);
  EXPECT_EQ(info.IssuerAltO, "Second");
  EXPECT_EQ(info.IssuerAltBusinessCategory, "Printable");
  EXPECT_EQ(info.IssuerAltRegisteredAddress.size(), 70000u);
  EXPECT_EQ(info.IssuerAltRegisteredAddress.find_first_not_of('r'), std::string::npos);
  EXPECT_TRUE(info.IssuerAltSurname.empty());
  EXPECT_TRUE(info.SubjectAltO.empty());

  // An extension that does not decode adds nothing.
  r.extra_extensions = {{szOID_ISSUER_ALT_NAME2, false, "\x30\x05\xA0\x03\x06"}};
  EXPECT_TRUE(InfoOf(r, VCERT_INFO_ISSUER_ALT_NAME).IssuerAltO.empty());
}

}  // namespace
}  // namespace zuntar
