// The certificate tool run as people run it, against a private platform tree.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/crypto/api/crypt_api.h"
#include "platform/crypto/cert/cert_store.h"
#include "platform/crypto/gost/gost_key_material.h"
#include "support/test_pki.h"
#include "support/tool_run.h"
#include "support/temp_dir.h"

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
  EXPECT_EQ(imported.out, "\\\\.\\REGISTRY\\imported\n");

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
