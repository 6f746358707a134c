// Hashes and raw signatures through the provider, checked against OpenSSL.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/capi/api/crypt_api.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/wide_text.h"
#include "platform/capi/cert/cert_store.h"
#include "platform/capi/cert/store_files.h"
#include "platform/capi/csp/container_import.h"
#include "platform/platform_root.h"
#include "platform/registry_writer.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace zuntar {
namespace {

std::string RunOpenssl(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  pclose(pipe);
  return out;
}

Bytes HashThroughLayer(ALG_ID alg, const Bytes& data) {
  HCRYPTPROV prov;
  EXPECT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT));
  HCRYPTHASH hash;
  EXPECT_TRUE(CryptCreateHash(prov, alg, nullptr, 0, &hash));
  EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0));
  DWORD size = 0, size_len = sizeof size;
  EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &size_len, 0));
  Bytes value(size, '\0');
  DWORD len = size;
  EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, reinterpret_cast<BYTE*>(value.data()), &len, 0));
  return value;
}

TEST(Hash, EqualsOpensslDigestOfTheSameBytes) {
  test::TempDir dir;
  Bytes data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 8));
  std::ofstream(dir / "data.bin", std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
  struct Case {
    ALG_ID alg;
    const char* md;
    size_t size;
  } cases[] = {{CALG_GR3411_2012_256, "md_gost12_256", 32}, {CALG_GR3411_2012_512, "md_gost12_512", 64},
               {CALG_GR3411, "md_gost94", 32}};
  for (const Case& c : cases) {
    const Bytes value = HashThroughLayer(c.alg, data);
    ASSERT_EQ(value.size(), c.size);
    const std::string printed =
        RunOpenssl("openssl dgst -engine gost -" + std::string(c.md) + " -r " + dir / "data.bin");
    std::string hex = HexUpper(value);
    for (char& ch : hex) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_EQ(printed.substr(0, hex.size()), hex) << c.md;
  }
}

TEST(Hash, SetValueMustHaveTheHashSizeAndDataAfterTheValueIsRefused) {
  HCRYPTPROV prov;
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
  HCRYPTHASH hash;
  ASSERT_TRUE(CryptCreateHash(prov, CALG_GR3411_2012_256, nullptr, 0, &hash));
  for (const Bytes& wrong : {Bytes("short"), Bytes(48, 'v'), Bytes(64, 'v')}) {
    EXPECT_FALSE(CryptSetHashParam(hash, HP_HASHVAL, wrong, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_HASH);
  }
  ASSERT_TRUE(CryptSetHashParam(hash, HP_HASHVAL, Bytes(32, 'v'), 0));
  BYTE value[64];
  DWORD len = sizeof value;
  ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value, &len, 0));
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(value), len), Bytes(32, 'v'));
  EXPECT_FALSE(CryptHashData(hash, value, 1, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);
  EXPECT_FALSE(CryptCreateHash(prov, 0x8003, nullptr, 0, &hash));
  EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
}

TEST(Provider, UnknownTypesAndSelfTest) {
  HCRYPTPROV prov;
  EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, nullptr, 24, CRYPT_VERIFYCONTEXT));
  EXPECT_NE(GetLastError(), 0u);
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
  DWORD size = 0;
  ASSERT_TRUE(CryptGetProvParam(prov, PP_SELFTEST, nullptr, &size, 0));
  ASSERT_GE(size, 24u);
  Bytes block(size, '\0');
  ASSERT_TRUE(CryptGetProvParam(prov, PP_SELFTEST, reinterpret_cast<BYTE*>(block.data()), &size, 0));
  EXPECT_EQ(block.substr(kSelfTestFailureOffset, 4), Bytes(4, '\0'));
  char name[128];
  DWORD name_len = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &name_len, 0));
  EXPECT_STREQ(name, "Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider");
}

class SignTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ca_ = new test::Issued(test::MakeCa()); }
  static void TearDownTestSuite() { delete ca_; }

  // A user certificate in the current user's "MY", linked to a registry
  // container holding its key.
  PCCERT_CONTEXT InstallUser(GostKeyKind kind, const std::string& container, const std::string& pin = {}) {
    test::Issued user = test::MakeUser(*ca_, "Signer", kind);
    EXPECT_TRUE(ImportKeyContainer(container, user.key.get(), user.der, pin, AT_KEYEXCHANGE).has_value());
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, user.der);
    const DWORD type = DefaultKeyParams(kind).prov_type;
    CRYPT_KEY_PROV_INFO info{Utf16(container), {}, type, 0, AT_KEYEXCHANGE};
    EXPECT_TRUE(CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
    PCCERT_CONTEXT stored;
    EXPECT_TRUE(CertAddCertificateContextToStore(my, cert, CERT_STORE_ADD_ALWAYS, &stored));
    return stored;
  }
  static std::u16string Utf16(const std::string& s) { return Utf16FromUtf8(s); }

  static Bytes SignHashValue(const PCCERT_CONTEXT& cert, const Bytes& value, DWORD* error,
                             ALG_ID alg = CALG_GR3411_2012_256) {
    HCRYPTPROV prov;
    DWORD key_spec = 0;
    bool caller_free = false;
    if (!CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &key_spec, &caller_free)) {
      *error = GetLastError();
      return {};
    }
    EXPECT_TRUE(caller_free);
    HCRYPTHASH hash;
    EXPECT_TRUE(CryptCreateHash(prov, alg, nullptr, 0, &hash));
    EXPECT_TRUE(CryptSetHashParam(hash, HP_HASHVAL, value, 0));
    DWORD len = 0;
    if (!CryptSignHashA(hash, key_spec, nullptr, 0, nullptr, &len)) {
      *error = GetLastError();
      return {};
    }
    Bytes signature(len, '\0');
    EXPECT_TRUE(CryptSignHashA(hash, key_spec, nullptr, 0, reinterpret_cast<BYTE*>(signature.data()), &len));
    *error = 0;
    return signature;
  }

  static bool OpensslVerifies(const PCCERT_CONTEXT& cert, const Bytes& digest, const Bytes& provider_signature) {
    Bytes standard(provider_signature.rbegin(), provider_signature.rend());
    ossl::PKeyPtr key(X509_get_pubkey(cert->Certificate()));
    ossl::PKeyCtxPtr ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    return EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_verify(ctx.get(), ossl::Data(standard), standard.size(), ossl::Data(digest), digest.size()) == 1;
  }

  test::TempDir dir_;
  test::ScopedPlatformRoot root_{dir_.path()};
  static test::Issued* ca_;
};

test::Issued* SignTest::ca_ = nullptr;

TEST_F(SignTest, RawSignatureOfTheKeysOwnHashVerifiesWithOpensslAfterReversingTheBytes) {
  for (GostKeyKind kind : {GostKeyKind::k2012_256, GostKeyKind::k2012_512, GostKeyKind::k2001}) {
    PCCERT_CONTEXT cert = InstallUser(kind, "\\\\.\\REGISTRY\\signer" + std::to_string(static_cast<int>(kind)));
    const ALG_ID own = DefaultKeyParams(kind).hash_alg;
    const Bytes digest = HashThroughLayer(own, "message");
    DWORD error = 0;
    const Bytes signature = SignHashValue(cert, digest, &error, own);
    ASSERT_EQ(error, 0u);
    EXPECT_EQ(signature.size(), kind == GostKeyKind::k2012_512 ? 128u : 64u);
    EXPECT_TRUE(OpensslVerifies(cert, digest, signature));
    EXPECT_FALSE(OpensslVerifies(cert, digest, Bytes(signature.rbegin(), signature.rend())));
    // Another kind's hash is refused, as the GOST providers refuse it.
    const ALG_ID other = kind == GostKeyKind::k2012_256 ? CALG_GR3411_2012_512 : CALG_GR3411_2012_256;
    SignHashValue(cert, HashThroughLayer(other, "message"), &error, other);
    EXPECT_EQ(error, NTE_BAD_ALGID);
  }
}

TEST_F(SignTest, SignatureChecksWithTheCertificatePublicKey) {
  PCCERT_CONTEXT cert = InstallUser(GostKeyKind::k2012_512, "\\\\.\\REGISTRY\\checked");
  const Bytes digest = HashThroughLayer(CALG_GR3411_2012_512, "data");
  DWORD error = 0;
  Bytes signature = SignHashValue(cert, digest, &error, CALG_GR3411_2012_512);
  ASSERT_EQ(error, 0u);
  HCRYPTPROV prov;
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2012_512, CRYPT_VERIFYCONTEXT));
  HCRYPTKEY pub;
  ASSERT_TRUE(CryptImportPublicKeyInfoEx(prov, X509_ASN_ENCODING, cert->Info().SubjectPublicKeyInfo, 0, 0, nullptr, &pub));
  HCRYPTHASH hash;
  ASSERT_TRUE(CryptCreateHash(prov, CALG_GR3411_2012_512, nullptr, 0, &hash));
  ASSERT_TRUE(CryptSetHashParam(hash, HP_HASHVAL, digest, 0));
  EXPECT_TRUE(CryptVerifySignatureA(hash, reinterpret_cast<const BYTE*>(signature.data()),
                                    static_cast<DWORD>(signature.size()), pub, nullptr, 0));
  signature[5] ^= 1;
  EXPECT_FALSE(CryptVerifySignatureA(hash, reinterpret_cast<const BYTE*>(signature.data()),
                                     static_cast<DWORD>(signature.size()), pub, nullptr, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);
  CERT_PUBLIC_KEY_INFO broken = cert->Info().SubjectPublicKeyInfo;
  broken.PublicKey.pbData.resize(10);
  EXPECT_FALSE(CryptImportPublicKeyInfoEx(prov, X509_ASN_ENCODING, broken, 0, 0, nullptr, &pub));
  EXPECT_EQ(GetLastError(), NTE_BAD_PUBLIC_KEY);
}

TEST_F(SignTest, ThreadsSignWithOneCachedKeyAtOnce) {
  PCCERT_CONTEXT cert = InstallUser(GostKeyKind::k2012_256, "\\\\.\\REGISTRY\\shared");
  HCRYPTPROV warm;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &warm, nullptr, nullptr));
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        HCRYPTPROV prov;
        DWORD key_spec = 0;
        if (!CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &prov, &key_spec, nullptr)) return;
        HCRYPTHASH hash;
        const Bytes digest(32, static_cast<char>('a' + t));
        BYTE signature[64];
        DWORD len = sizeof signature;
        if (CryptCreateHash(prov, CALG_GR3411_2012_256, nullptr, 0, &hash) &&
            CryptSetHashParam(hash, HP_HASHVAL, digest, 0) &&
            CryptSignHashA(hash, key_spec, nullptr, 0, signature, &len) &&
            OpensslVerifies(cert, digest, Bytes(reinterpret_cast<char*>(signature), len)))
          ++good;
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(good.load(), 40);
}

TEST_F(SignTest, CertificateWithoutKeyLinkFails) {
  test::Issued user = test::MakeUser(*ca_, "Nobody");
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, user.der);
  HCRYPTPROV prov;
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &prov, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), CRYPT_E_NO_KEY_PROPERTY);
  EXPECT_EQ(static_cast<int32_t>(CRYPT_E_NO_KEY_PROPERTY), -2146885621);
}

TEST_F(SignTest, CacheFlagKeepsTheContextWithTheCertificate) {
  PCCERT_CONTEXT cert = InstallUser(GostKeyKind::k2012_256, "\\\\.\\REGISTRY\\cached");
  HCRYPTPROV first, second;
  bool caller_free = true;
  DWORD key_spec = 0;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &first, &key_spec, &caller_free));
  EXPECT_FALSE(caller_free);
  EXPECT_EQ(key_spec, AT_KEYEXCHANGE);
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &second, &key_spec, &caller_free));
  EXPECT_EQ(first, second);
}

TEST_F(SignTest, PinIsAskedAndCancelFails) {
  PCCERT_CONTEXT cert = InstallUser(GostKeyKind::k2012_256, "\\\\.\\REGISTRY\\pinned", "1234");
  const Bytes digest(32, '\x11');
  DWORD error = 0;
  {
    // A hash the key does not sign is refused before its PIN is asked for.
    test::ScriptedPrompt prompt;
    SignHashValue(cert, Bytes(64, '\x11'), &error, CALG_GR3411_2012_512);
    EXPECT_EQ(error, NTE_BAD_ALGID);
    EXPECT_TRUE(prompt.asked.empty());
  }
  {
    // No user interface: Cancel at once.
    SignHashValue(cert, digest, &error);
    EXPECT_EQ(error, SCARD_W_CANCELLED_BY_USER);
  }
  test::ScriptedPrompt prompt;
  prompt.pins = {"0000", "1234"};
  const Bytes signature = SignHashValue(cert, digest, &error);
  EXPECT_EQ(error, 0u);
  EXPECT_TRUE(OpensslVerifies(cert, digest, signature));
  EXPECT_EQ(prompt.asked, (std::vector<std::string>{"pin:pinned", "pin-again:pinned"}));

  // The certificate and public key of a container need no PIN.
  prompt.asked.clear();
  HCRYPTPROV prov;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "\\\\.\\REGISTRY\\pinned", nullptr, PROV_GOST_2001_DH, 0));
  HCRYPTKEY key;
  ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
  Bytes stored;
  ASSERT_TRUE(CryptGetKeyParam(key, KP_CERTIFICATE, &stored));
  EXPECT_EQ(stored, cert->Encoded());
  CERT_PUBLIC_KEY_INFO info;
  ASSERT_TRUE(CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, X509_ASN_ENCODING, &info));
  EXPECT_TRUE(CertComparePublicKeyInfo(X509_ASN_ENCODING, info, cert->Info().SubjectPublicKeyInfo));
  EXPECT_TRUE(prompt.asked.empty());

  // A PIN given beforehand that is wrong fails without a question.
  ASSERT_TRUE(CryptSetProvParam(prov, PP_KEYEXCHANGE_PIN, Bytes("9999\0", 5), 0));
  HCRYPTHASH hash;
  ASSERT_TRUE(CryptCreateHash(prov, CALG_GR3411_2012_256, nullptr, 0, &hash));
  DWORD len = 0;
  EXPECT_FALSE(CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &len));
  EXPECT_EQ(GetLastError(), SCARD_W_WRONG_CHV);
  EXPECT_TRUE(prompt.asked.empty());
}

TEST_F(SignTest, RemovedMediaIsAskedForAndComesBack) {
  const std::string volume = dir_.path() + "media/FLASH";
  std::filesystem::create_directories(volume);
  PCCERT_CONTEXT cert = InstallUser(GostKeyKind::k2012_256, "\\\\.\\FAT12_A\\ivanov.000");
  std::filesystem::rename(volume, dir_.path() + "unplugged");
  const Bytes digest(32, '\x22');
  DWORD error = 0;
  SignHashValue(cert, digest, &error);
  EXPECT_EQ(error, SCARD_W_CANCELLED_BY_USER);
  EXPECT_EQ(static_cast<int32_t>(SCARD_W_CANCELLED_BY_USER), -2146434962);

  test::ScriptedPrompt prompt;
  prompt.media_answers.push_back({true, nullptr});  // "inserted" but still absent
  prompt.media_answers.push_back({true, [&] { std::filesystem::rename(dir_.path() + "unplugged", volume); }});
  const Bytes signature = SignHashValue(cert, digest, &error);
  EXPECT_EQ(error, 0u);
  EXPECT_TRUE(OpensslVerifies(cert, digest, signature));
  EXPECT_EQ(prompt.asked.size(), 2u);
}

TEST_F(SignTest, ContainersEnumerateWithUniqueFullyQualifiedNames) {
  std::filesystem::create_directories(dir_.path() + "media/USB1/keys");
  InstallUser(GostKeyKind::k2012_256, "\\\\.\\REGISTRY\\Первый");
  InstallUser(GostKeyKind::k2012_256, "\\\\.\\FAT12_A\\keys\\petrov.000");
  HCRYPTPROV prov;
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT));
  DWORD size = 0;
  ASSERT_TRUE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST | CRYPT_UNIQUE | CRYPT_FQCN));
  std::vector<std::string> names;
  Bytes buffer(size, '\0');
  for (DWORD flags = CRYPT_FIRST | CRYPT_UNIQUE | CRYPT_FQCN;; flags &= ~CRYPT_FIRST) {
    DWORD len = size;
    if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer.data()), &len, flags)) {
      EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
      break;
    }
    names.push_back(buffer.substr(0, len));
  }
  ASSERT_EQ(names.size(), 2u);
  // Names come in the ANSI code page, as CryptGetProvParam gives them.
  EXPECT_EQ(names[0].substr(0, names[0].find('\0')), AnsiTextFromUtf8("\\\\.\\REGISTRY\\Первый"));
  EXPECT_EQ(names[1].substr(0, names[1].find('\0')), "\\\\.\\FAT12_A\\keys\\petrov.000");
  EXPECT_EQ(names[1].substr(names[1].find('\0') + 1), std::string("FAT12_A\\keys\\petrov.000") + '\0');
  // A buffer too short for an item reports the longest item's size and
  // does not skip it; passing back the length of the shorter item read last
  // fails on the longer one the same way.
  const DWORD longest = sizeof "\\\\.\\FAT12_A\\keys\\petrov.000";
  DWORD tiny = 3;
  ASSERT_FALSE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer.data()), &tiny,
                                 CRYPT_FIRST | CRYPT_FQCN));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(tiny, longest);
  DWORD reused = static_cast<DWORD>(buffer.size());
  ASSERT_TRUE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer.data()), &reused,
                                CRYPT_FIRST | CRYPT_FQCN));
  EXPECT_EQ(reused, AnsiTextFromUtf8("\\\\.\\REGISTRY\\Первый").size() + 1);
  EXPECT_FALSE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer.data()), &reused, CRYPT_FQCN));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(reused, longest);
  EXPECT_TRUE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer.data()), &reused, CRYPT_FQCN));
  EXPECT_EQ(buffer.substr(0, reused), std::string("\\\\.\\FAT12_A\\keys\\petrov.000") + '\0');
  // The UTF-16 form reaches the container whatever the code page.
  HCRYPTPROV named;
  EXPECT_TRUE(CryptAcquireContextW(&named, u"\\\\.\\REGISTRY\\Первый", nullptr, PROV_GOST_2012_256, 0));
}

TEST_F(SignTest, MediaRootsListedInTheRegistryAreSearchedToo) {
  const std::string extra = dir_.path() + "mnt";
  std::filesystem::create_directories(extra + "/stick");
  std::filesystem::create_directories(dir_.path() + "media/USB");
  {
    RegistryWriter writer(RegistryFile());
    writer.SetString(kMediaReaderKeyPath, "Roots", extra + ";" + dir_.path() + "nowhere");
    writer.Save();
  }
  InstallUser(GostKeyKind::k2012_256, "\\\\.\\FAT12_B\\k.000");
  EXPECT_TRUE(std::filesystem::exists(extra + "/stick/k.000/key1.p8"));
  const auto found = FindContainer("\\\\.\\FAT12_B\\k.000");
  ASSERT_TRUE(found.has_value());
  EXPECT_TRUE(found->removable);
  EXPECT_EQ(found->unique, "FAT12_B\\k.000");
  EXPECT_TRUE(FindContainer("k").has_value());  // a bare name searches every reader
}

TEST_F(SignTest, DamagedContainerFilesGiveErrorsNotCrashes) {
  PCCERT_CONTEXT cert = InstallUser(GostKeyKind::k2012_256, "\\\\.\\REGISTRY\\damaged");
  const auto location = FindContainer("\\\\.\\REGISTRY\\damaged");
  ASSERT_TRUE(location.has_value());
  const StoreFolder folder(location->folder);
  folder.Write("key1", ".pub", "\x30\x03junk");
  folder.Write("key1", ".cer", "not a certificate");
  folder.Write("key1", ".p8", "\x30\x82\xFF\xFF");
  folder.Write("params", "", "92\n99999999999 x\nabc def\n 93 y\n");
  HCRYPTPROV prov;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "\\\\.\\REGISTRY\\damaged", nullptr, PROV_GOST_2012_256, 0));
  HCRYPTKEY key;
  EXPECT_FALSE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
  DWORD size = 0;
  EXPECT_TRUE(CryptGetProvParam(prov, PP_SIGNATUREOID, nullptr, &size, 0));
  DWORD error = 0;
  SignHashValue(cert, Bytes(32, '1'), &error);
  EXPECT_NE(error, 0u);
}

TEST_F(SignTest, NewKeySetAndContainerParameters) {
  HCRYPTPROV prov;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "\\\\.\\REGISTRY\\fresh", nullptr, PROV_GOST_2012_256, CRYPT_NEWKEYSET));
  EXPECT_FALSE(CryptAcquireContextA(&prov, "\\\\.\\REGISTRY\\fresh", nullptr, PROV_GOST_2012_256, CRYPT_NEWKEYSET));
  EXPECT_EQ(GetLastError(), NTE_EXISTS);
  ASSERT_TRUE(CryptAcquireContextA(&prov, "\\\\.\\REGISTRY\\fresh", nullptr, PROV_GOST_2012_256, 0));
  HCRYPTKEY key;
  EXPECT_FALSE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
  EXPECT_EQ(GetLastError(), NTE_NO_KEY);
  for (DWORD param : {PP_SIGNATUREOID, PP_DHOID}) {
    DWORD size = 0;
    ASSERT_TRUE(CryptGetProvParam(prov, param, nullptr, &size, 0));
    Bytes value(size, '\0');
    ASSERT_TRUE(CryptGetProvParam(prov, param, reinterpret_cast<BYTE*>(value.data()), &size, 0));
    ASSERT_TRUE(CryptSetProvParam(prov, param, value, 0));
  }
  ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, &key));
  CERT_PUBLIC_KEY_INFO info;
  ASSERT_TRUE(CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, X509_ASN_ENCODING, &info));
  EXPECT_EQ(info.Algorithm.pszObjId, "1.2.643.7.1.1.1.1");
  HCRYPTPROV missing;
  EXPECT_FALSE(CryptAcquireContextA(&missing, "\\\\.\\REGISTRY\\absent", nullptr, PROV_GOST_2012_256, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
  char name[64];
  DWORD name_len = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &name_len, 0));
  EXPECT_STREQ(name, "fresh");
  HCRYPTPROV deleted;
  EXPECT_TRUE(CryptAcquireContextA(&deleted, "\\\\.\\REGISTRY\\fresh", nullptr, PROV_GOST_2012_256, CRYPT_DELETEKEYSET));
  EXPECT_EQ(deleted, nullptr);
  EXPECT_FALSE(CryptAcquireContextA(&deleted, "\\\\.\\REGISTRY\\fresh", nullptr, PROV_GOST_2012_256, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
}

}  // namespace
}  // namespace zuntar
