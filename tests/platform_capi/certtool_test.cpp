// The certificate tool run as people run it, against a private platform tree.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/capi/api/crypt_api.h"
#include "platform/capi/cert/cert_store.h"
#include "platform/capi/cert/store_files.h"
#include "platform/capi/csp/pfx_reader.h"
#include "platform/capi/gost/gost_key_material.h"
#include "platform/user_account.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"
#include "support/tool_run.h"

namespace zuntar {
namespace {

using test::Tool;
using test::ToolRun;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class CertToolTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  test::ScopedPlatformRoot root_{dir_.path(), /*register_provider=*/false};
};

TEST_F(CertToolTest, TestPkiFillsStoresAndContainers) {
  ASSERT_EQ(Tool("register-provider").status, 0);
  const ToolRun made = Tool("make-test-pki --out " + dir_ / "pki");
  ASSERT_EQ(made.status, 0) << made.out;
  const ToolRun listed = Tool("list");
  ASSERT_EQ(listed.status, 0);
  const std::vector<std::string> lines = Lines(listed.out);
  EXPECT_EQ(lines.size(), 6u) << listed.out;  // nolink and media are not in MY
  const std::regex format("[0-9A-F]{40} [0-9A-F]+ CN=.*");
  for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, format)) << line;
  EXPECT_EQ(Lines(Tool("list --store ROOT --machine").out).size(), 1u);
  const std::vector<std::string> containers = Lines(Tool("containers").out);
  EXPECT_EQ(containers.size(), 8u);
  EXPECT_EQ(containers.back(), "\\\\.\\FAT12_A\\zuntar-test-media.000");

  // Every linked certificate signs its key's own hash through its container.
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  int signed_count = 0;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(my, nullptr); c != nullptr; c = CertEnumCertificatesInStore(my, c)) {
    HCRYPTPROV prov;
    DWORD key_spec = 0;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(c, 0, nullptr, &prov, &key_spec, nullptr));
    const ossl::PKeyPtr key = PublicKeyFromInfo(c->Info().SubjectPublicKeyInfo);
    const GostKeyParams* params = ParamsOfKey(key.get());
    ASSERT_NE(params, nullptr);
    HCRYPTHASH hash;
    ASSERT_TRUE(CryptCreateHash(prov, params->hash_alg, nullptr, 0, &hash));
    ASSERT_TRUE(CryptSetHashParam(hash, HP_HASHVAL, Bytes(params->kind == GostKeyKind::k2012_512 ? 64 : 32, 'h'), 0));
    DWORD len = 0;
    EXPECT_TRUE(CryptSignHashA(hash, key_spec, nullptr, 0, nullptr, &len));
    ++signed_count;
  }
  EXPECT_EQ(signed_count, 6);
}

TEST_F(CertToolTest, ImportsAGostPkcs12MadeByOpenssl) {
  test::Issued ca = test::MakeCa();
  test::Issued user = test::MakeUser(ca, "Импорт", GostKeyKind::k2012_256);
  ASSERT_EQ(Tool("register-provider").status, 0);
  {
    std::ofstream(dir_ / "user.cer", std::ios::binary) << user.der;
    const ossl::BioPtr bio(BIO_new_file((dir_ / "user.key.pem").c_str(), "w"));
    PEM_write_bio_PrivateKey(bio.get(), user.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  }
  const std::string export_command =
      "openssl x509 -inform DER -in " + dir_ / "user.cer" + " -out " + dir_ / "user.pem" +
      " && openssl pkcs12 -export -engine gost -inkey " + dir_ / "user.key.pem" + " -in " + dir_ / "user.pem" +
      " -keypbe gost89 -certpbe gost89 -macalg md_gost12_256 -passout pass:secret -out " + dir_ / "user.p12" +
      " >/dev/null 2>&1";
  ASSERT_EQ(std::system(export_command.c_str()), 0);
  const ToolRun wrong = Tool("import --pfx " + dir_ / "user.p12" + " --password nope --container imported");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.out.find("wrong password"), std::string::npos);
  const ToolRun imported = Tool("import --pfx " + dir_ / "user.p12" + " --password secret --container imported --pin 77");
  ASSERT_EQ(imported.status, 0) << imported.out;
  // It says what it did: where the key went, which certificate, which
  // store of whom, and that a PIN guards the key.
  const std::vector<std::string> said = Lines(imported.out);
  ASSERT_EQ(said.size(), 5u) << imported.out;
  EXPECT_EQ(said[0], "container  \\\\.\\REGISTRY\\imported (" + dir_ / "machine/keys/imported.000)");
  EXPECT_EQ(said[1], "thumbprint " + HexUpper(CertCreateCertificateContext(X509_ASN_ENCODING, user.der)->Sha1()));
  EXPECT_EQ(said[3], "store      MY of the user " + ProcessUserName() + " (" + dir_ / "user)");
  EXPECT_EQ(said[4], "PIN        the key is protected by a PIN");

  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  PCCERT_CONTEXT cert = CertEnumCertificatesInStore(my, nullptr);
  ASSERT_NE(cert, nullptr);
  CRYPT_KEY_PROV_INFO info;
  ASSERT_TRUE(CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, &info));
  EXPECT_EQ(info.dwProvType, PROV_GOST_2012_256);
  HCRYPTPROV prov;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "\\\\.\\REGISTRY\\imported", nullptr, PROV_GOST_2012_256, 0));
  ASSERT_TRUE(CryptSetProvParam(prov, PP_KEYEXCHANGE_PIN, "77", 0));
  CERT_PUBLIC_KEY_INFO key_info;
  ASSERT_TRUE(CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, X509_ASN_ENCODING, &key_info));
  EXPECT_TRUE(CertComparePublicKeyInfo(X509_ASN_ENCODING, key_info, cert->Info().SubjectPublicKeyInfo));
}

// A PKCS #12 file whose key bag holds `key_octets` as the GOST key's
// privateKey, with the integrity check of the recommendations (512 bits).
Bytes PfxWithKeyOctets(const test::Issued& user, const Bytes& key_octets, const std::string& password) {
  const ossl::Pkcs8InfoPtr plain(EVP_PKEY2PKCS8(user.key.get()));
  const ASN1_OBJECT* obj = nullptr;
  const unsigned char* data = nullptr;
  int len = 0;
  const X509_ALGOR* alg = nullptr;
  PKCS8_pkey_get0(&obj, &data, &len, &alg, plain.get());
  int ptype = 0;
  const void* pval = nullptr;
  X509_ALGOR_get0(nullptr, &ptype, &pval, alg);
  auto* octets = static_cast<unsigned char*>(OPENSSL_malloc(key_octets.size() + 1));
  std::copy(key_octets.begin(), key_octets.end(), octets);
  PKCS8_PRIV_KEY_INFO* p8 = PKCS8_PRIV_KEY_INFO_new();
  PKCS8_pkey_set0(p8, OBJ_dup(obj), 0, ptype, ASN1_STRING_dup(static_cast<const ASN1_STRING*>(pval)), octets,
                  static_cast<int>(key_octets.size()));
  const unsigned char* p = ossl::Data(user.der);
  STACK_OF(PKCS12_SAFEBAG)* bags = sk_PKCS12_SAFEBAG_new_null();
  sk_PKCS12_SAFEBAG_push(bags, PKCS12_SAFEBAG_create0_p8inf(p8));
  const ossl::X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(user.der.size())));
  sk_PKCS12_SAFEBAG_push(bags, PKCS12_SAFEBAG_create_cert(x.get()));
  STACK_OF(PKCS7)* safes = sk_PKCS7_new_null();
  sk_PKCS7_push(safes, PKCS12_pack_p7data(bags));
  sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
  const ossl::Pkcs12Ptr p12(PKCS12_add_safes(safes, 0));
  sk_PKCS7_pop_free(safes, PKCS7_free);
  EXPECT_EQ(PKCS12_set_mac(p12.get(), password.c_str(), -1, nullptr, 0, 2048, ossl::DigestByName("md_gost12_512")), 1);
  return ossl::ToDer(i2d_PKCS12, p12.get());
}

// The file a GOST provider exported (integrity check with the PKCS #12 key
// derivation and GOST R 34.11-94, PBES2 bags with GOST 28147-89), the
// masked key form, Kuznyechik bags; and the reason when a file cannot be
// read, never a crash on a key form the engine would misread.
TEST_F(CertToolTest, ImportsThePkcs12FilesOfGostProvidersAndSaysWhyOthersCannot) {
  ASSERT_EQ(Tool("register-provider").status, 0);
  const std::string exported = std::string(ZUNTAR_INTEROP_DIR) + "/cp-exported-2001.p12";
  const ToolRun wrong = Tool("import --pfx " + exported + " --password 2 --container cp");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.out.find("wrong password"), std::string::npos) << wrong.out;
  const ToolRun garbage = Tool("import --pfx " + exported.substr(0, exported.rfind('/')) + "/README.md --container cp");
  EXPECT_NE(garbage.out.find("not a PKCS #12 file"), std::string::npos) << garbage.out;
  const ToolRun imported = Tool("import --pfx " + exported + " --password 1 --container cp");
  ASSERT_EQ(imported.status, 0) << imported.out;
  std::ofstream(dir_ / "data.bin") << "Документ";
  const ToolRun signed_data = Tool("sign --thumbprint D5ECBBC8DBB4164661C3E395F658A5D8B3772D03 " + dir_ / "data.bin" +
                                   " " + dir_ / "data.p7s");
  ASSERT_EQ(signed_data.status, 0) << signed_data.out;
  EXPECT_EQ(std::system(("openssl cms -verify -engine gost -binary -inform DER -noverify -in " + dir_ / "data.p7s" +
                         " -out /dev/null >/dev/null 2>&1").c_str()),
            0);

  const test::Issued ca = test::MakeCa();
  const test::Issued user = test::MakeUser(ca, "Маскированный", GostKeyKind::k2012_256);
  const ossl::Pkcs8InfoPtr plain(EVP_PKEY2PKCS8(user.key.get()));
  const unsigned char* data = nullptr;
  int len = 0;
  PKCS8_pkey_get0(nullptr, &data, &len, nullptr, plain.get());
  ASSERT_EQ(len, 32);  // the little-endian key
  // The key followed by one mask (1): what the key is once unmasked.
  const Bytes masked = Bytes(reinterpret_cast<const char*>(data), 32) + '\x01' + Bytes(31, '\0');
  PfxContents contents;
  std::string why;
  ASSERT_EQ(ReadPfx(PfxWithKeyOctets(user, masked, "секрет"), "секрет", &contents, &why), PfxFailure::kNone) << why;
  EXPECT_EQ(contents.cert, user.der);
  EXPECT_EQ(EVP_PKEY_eq(contents.key.get(), user.key.get()), 1);
  for (const Bytes& octets : {Bytes(), Bytes("\x30\x02\x04\x00", 4), Bytes("\x04\x1F", 2) + Bytes(31, 'k')}) {
    EXPECT_EQ(ReadPfx(PfxWithKeyOctets(user, octets, "секрет"), "секрет", &contents, &why), PfxFailure::kFormat);
    EXPECT_NE(why.find("form this reader does not know"), std::string::npos) << why;
  }

  {
    std::ofstream(dir_ / "user.cer", std::ios::binary) << user.der;
    const ossl::BioPtr bio(BIO_new_file((dir_ / "user.key.pem").c_str(), "w"));
    PEM_write_bio_PrivateKey(bio.get(), user.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  }
  ASSERT_EQ(std::system(("openssl x509 -inform DER -in " + dir_ / "user.cer" + " -out " + dir_ / "user.pem" +
                         " && openssl pkcs12 -export -engine gost -inkey " + dir_ / "user.key.pem" + " -in " +
                         dir_ / "user.pem" + " -keypbe kuznyechik-ctr-acpkm -certpbe kuznyechik-ctr-acpkm" +
                         " -macalg md_gost12_512 -passout pass:secret -out " + dir_ / "user.p12 >/dev/null 2>&1")
                            .c_str()),
            0);
  const ToolRun kuznyechik = Tool("import --pfx " + dir_ / "user.p12" + " --password secret --container k");
  EXPECT_EQ(kuznyechik.status, 0) << kuznyechik.out;
}

TEST_F(CertToolTest, ImportsOntoRemovableMediaAndLinksLater) {
  ASSERT_EQ(Tool("register-provider").status, 0);
  std::filesystem::create_directories(dir_.path() + "media/FLASH/keys");
  test::Issued ca = test::MakeCa();
  test::Issued user = test::MakeUser(ca, "Флешка", GostKeyKind::k2012_512);
  std::ofstream(dir_ / "user.cer", std::ios::binary) << user.der;
  {
    const ossl::BioPtr bio(BIO_new_file((dir_ / "user.key.pem").c_str(), "w"));
    PEM_write_bio_PrivateKey(bio.get(), user.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  }
  const ToolRun imported = Tool("import --container '\\\\.\\FAT12_A\\keys\\flash.000' --key " + dir_ / "user.key.pem" +
                               " --cert " + dir_ / "user.cer" + " --no-link");
  ASSERT_EQ(imported.status, 0) << imported.out;
  EXPECT_EQ(Lines(Tool("list").out).size(), 0u);
  const ToolRun linked = Tool("link --container '\\\\.\\FAT12_A\\keys\\flash.000' --cert " + dir_ / "user.cer");
  ASSERT_EQ(linked.status, 0) << linked.out;
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  PCCERT_CONTEXT cert = CertEnumCertificatesInStore(my, nullptr);
  ASSERT_NE(cert, nullptr);
  CRYPT_KEY_PROV_INFO info;
  ASSERT_TRUE(CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, &info));
  // The key's own algorithm (512 bits) picks the provider, not the
  // certificate's signature by its CA's 256-bit key.
  EXPECT_EQ(info.dwProvType, PROV_GOST_2012_512);
  EXPECT_EQ(info.pwszProvName, u"Crypto-Pro GOST R 34.10-2012 Strong Cryptographic Service Provider");
  HCRYPTPROV prov;
  EXPECT_TRUE(CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &prov, nullptr, nullptr));
  EXPECT_EQ(Tool("link --container '\\\\.\\REGISTRY\\none' --cert " + dir_ / "user.cer").status, 1);
}

TEST_F(CertToolTest, AFailedImportNamesItsCause) {
  ASSERT_EQ(Tool("register-provider").status, 0);
  test::Issued user = test::MakeUser(test::MakeCa(), "Отказ", GostKeyKind::k2012_256);
  std::ofstream(dir_ / "user.cer", std::ios::binary) << user.der;
  {
    const ossl::BioPtr bio(BIO_new_file((dir_ / "user.key.pem").c_str(), "w"));
    PEM_write_bio_PrivateKey(bio.get(), user.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  }
  const std::string files = " --key " + dir_ / "user.key.pem" + " --cert " + dir_ / "user.cer";
  ASSERT_EQ(Tool("import --container first" + files).status, 0);

  const ToolRun again = Tool("import --container first" + files);
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.out.find("\\\\.\\REGISTRY\\first exists already (" + dir_ / "machine/keys/first.000)"),
            std::string::npos)
      << again.out;
  const ToolRun no_medium = Tool("import --container '\\\\.\\FAT12_Q\\keys\\x.000'" + files);
  EXPECT_EQ(no_medium.status, 1);
  EXPECT_NE(no_medium.out.find("no removable medium has the letter Q"), std::string::npos) << no_medium.out;

  // A person who may not write the machine's folder, as a user other than
  // root is: the folder and the system's reason, not a guess.
  std::filesystem::permissions(dir_ / "machine/keys", std::filesystem::perms(0555));
  std::filesystem::permissions(dir_.path(), std::filesystem::perms(0755));
  const std::string as_other_user = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  const ToolRun denied = test::Command(as_other_user + ZUNTAR_TEST_CERTTOOL " import --container mine" + files);
  EXPECT_EQ(denied.status, 1);
  EXPECT_NE(denied.out.find("cannot create container mine: cannot create " + dir_ / "machine/keys/mine.000" +
                            ": Permission denied"),
            std::string::npos)
      << denied.out;
}

TEST_F(CertToolTest, ErrorsAreClearAndExitNonZero) {
  EXPECT_EQ(Tool("").status, 2);
  EXPECT_EQ(Tool("frobnicate").status, 2);
  for (const char* command : {"list", "containers", "install", "import", "link", "register-provider", "make-test-pki"}) {
    const ToolRun help = Tool(std::string(command) + " --help");
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_EQ(help.out.rfind("Usage: zuntar-certtool ", 0), 0u) << command;
  }
  const ToolRun no_provider = Tool("containers");
  EXPECT_EQ(no_provider.status, 1);
  EXPECT_NE(no_provider.out.find("register-provider"), std::string::npos);
  EXPECT_EQ(Tool("install " + dir_ / "missing.cer").status, 1);
  std::ofstream(dir_ / "junk.cer") << "junk";
  const ToolRun junk = Tool("install " + dir_ / "junk.cer");
  EXPECT_EQ(junk.status, 1);
  EXPECT_NE(junk.out.find("is not a certificate"), std::string::npos);
  EXPECT_EQ(Tool("import --container x").status, 1);
  EXPECT_EQ(Tool("list --bogus").status, 1);
  EXPECT_EQ(Tool("register-provider --module " + dir_ / "none.so").status, 1);
}

}  // namespace
}  // namespace zuntar
