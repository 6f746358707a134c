// Finding certificates in the personal stores by serial number,
// thumbprint and body, and the key-container test.
#include <gtest/gtest.h>

#include "crypto/cert_identity.h"
#include "crypto/cert_lookup.h"
#include "crypto_fixture.h"

namespace zuntar {
namespace {

class CertLookupTest : public test::CryptoTest {};

TEST_F(CertLookupTest, SerialFindsTheCertificateWithBlanksOrLowerCaseButNotWithColons) {
  const test::Party user = Person("user");
  const test::Party machine = Person("machine", GostKeyKind::k2012_256, false);
  AddToStore(machine.cert, false);
  const std::string serial = CertSerialHex(user.cert);
  std::string grouped, lower;
  for (size_t i = 0; i < serial.size(); ++i) {
    if (i > 0 && i % 4 == 0) grouped += ' ';
    grouped += serial[i];
    lower += static_cast<char>(std::tolower(static_cast<unsigned char>(serial[i])));
  }
  for (const std::string& form : {serial, grouped, lower}) {
    PCCERT_CONTEXT found = FindStoreCertBySerial(form, true);
    ASSERT_NE(found, nullptr) << form;
    EXPECT_EQ(found->Encoded(), user.issued.der);
  }
  EXPECT_EQ(FindStoreCertBySerial(serial.substr(0, 2) + ":" + serial.substr(2), true), nullptr);
  // Each store holds only its own.
  EXPECT_EQ(FindStoreCertBySerial(serial, false), nullptr);
  EXPECT_EQ(FindStoreCertBySerial(CertSerialHex(machine.cert), true), nullptr);
  ASSERT_NE(FindStoreCertBySerial(CertSerialHex(machine.cert), false), nullptr);
  // The store's context carries its key link.
  EXPECT_TRUE(CertHasKeyContainer(FindStoreCertBySerial(serial, true)));
}

TEST_F(CertLookupTest, LocatingPrefersTheStoresAndFallsBackToTheBodyItself) {
  const test::Party user = Person("user");
  PCCERT_CONTEXT located = LocateCertificate(user.issued.der, true);
  ASSERT_NE(located, nullptr);
  CRYPT_KEY_PROV_INFO info;
  EXPECT_TRUE(CertGetCertificateContextProperty(located, CERT_KEY_PROV_INFO_PROP_ID, &info));  // the store's context

  // Another certificate for the same key is found by its public key.
  CertRequest again = test::UserRequest("user");
  again.serial = Bytes("\x01\x02\x03", 3);
  const Bytes reissued = BuildCertificate(again, user.issued.key.get(), ca_.der, ca_.key.get());
  located = LocateCertificate(reissued, true);
  ASSERT_NE(located, nullptr);
  EXPECT_EQ(located->Encoded(), user.issued.der);

  // A certificate in no store: nothing from the current user, the decoded
  // body from the local machine.
  const test::Party stranger = Person("stranger", GostKeyKind::k2012_256, false);
  EXPECT_EQ(LocateCertificate(stranger.issued.der, true), nullptr);
  located = LocateCertificate(stranger.issued.der, false);
  ASSERT_NE(located, nullptr);
  EXPECT_EQ(located->Encoded(), stranger.issued.der);
  EXPECT_FALSE(CertGetCertificateContextProperty(located, CERT_KEY_PROV_INFO_PROP_ID, &info));
  EXPECT_EQ(LocateCertificate("not a certificate", false), nullptr);
  EXPECT_EQ(LocateCertificate({}, true), nullptr);
}

TEST_F(CertLookupTest, ThumbprintSearchesOnlyTheCurrentUser) {
  const test::Party user = Person("user");
  const test::Party machine = Person("machine", GostKeyKind::k2012_256, false);
  AddToStore(machine.cert, false);
  const std::string thumbprint = CertThumbprintHex(user.cert);
  EXPECT_EQ(thumbprint.size(), 40u);
  EXPECT_EQ(CertThumbprint(user.cert), user.cert->Sha1());
  PCCERT_CONTEXT found = FindCertByThumbprint(HexToBytes(thumbprint));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->Encoded(), user.issued.der);
  EXPECT_EQ(FindCertByThumbprint(HexToBytes(CertThumbprintHex(machine.cert))), nullptr);
}

TEST_F(CertLookupTest, KeyContainerNeedsALinkWithAContainerNameInTheCurrentUsersStore) {
  const test::Party linked = Person("linked");
  EXPECT_TRUE(CertHasKeyContainer(linked.cert));
  // The same certificate without its link.
  const test::Party bare = Person("bare", GostKeyKind::k2012_256, false);
  PCCERT_CONTEXT unlinked = DecodeCertificate(bare.issued.der);
  AddToStore(unlinked, true);
  EXPECT_FALSE(CertHasKeyContainer(unlinked));
  // A link with an empty container name is no link.
  CRYPT_KEY_PROV_INFO info;
  info.dwProvType = PROV_GOST_2012_256;
  info.dwKeySpec = AT_KEYEXCHANGE;
  ASSERT_TRUE(CertSetCertificateContextProperty(unlinked, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  AddToStore(unlinked, true);
  EXPECT_FALSE(CertHasKeyContainer(unlinked));
  // Only the current user's store counts.
  const test::Party machine = Person("machine", GostKeyKind::k2012_256, false);
  AddToStore(machine.cert, false);
  EXPECT_FALSE(CertHasKeyContainer(machine.cert));
  EXPECT_FALSE(CertHasKeyContainer(nullptr));
}

TEST_F(CertLookupTest, LocalMachineStoreIsReadOnlyForLookUpsOnly) {
  EXPECT_TRUE(OpenLocalMachineStore(true)->read_only());
  EXPECT_FALSE(OpenLocalMachineStore(false)->read_only());
  const test::Party p = Person("p", GostKeyKind::k2012_256, false);
  EXPECT_FALSE(CertAddCertificateContextToStore(OpenLocalMachineStore(true), p.cert, CERT_STORE_ADD_ALWAYS, nullptr));
  EXPECT_FALSE(OpenCurrentUserStore()->read_only());
}

TEST_F(CertLookupTest, ExtensionsAndTheProviderName) {
  const test::Party p = Person("p");
  const CERT_EXTENSION* usage = FindExtension(p.cert, szOID_KEY_USAGE);
  ASSERT_NE(usage, nullptr);
  EXPECT_EQ(usage->pszObjId, szOID_KEY_USAGE);
  EXPECT_EQ(FindExtension(p.cert, "2.5.29"), nullptr);
  EXPECT_EQ(FindExtension(nullptr, szOID_KEY_USAGE), nullptr);
  HCRYPTPROV prov;
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(ProviderName(prov), "Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider");
  EXPECT_EQ(ProviderName(HCRYPTPROV()), "");
  EXPECT_EQ(CertBodyOf(nullptr), Bytes());
  EXPECT_EQ(CertThumbprint(nullptr), Bytes());
}

}  // namespace
}  // namespace zuntar
