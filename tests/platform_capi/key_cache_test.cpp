// The provider's cache of unlocked private keys: a PIN is asked once per
// container for the life of the process, and forgotten when the container
// goes away, its key changes or the process drops the cache.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/capi/api/crypt_api.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/wide_text.h"
#include "platform/capi/cert/cert_builder.h"
#include "platform/capi/csp/container_import.h"
#include "platform/capi/csp/private_key_cache.h"
#include "platform/platform_root.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace zuntar {
namespace {

namespace fs = std::filesystem;

constexpr char kPin[] = "1234";

class KeyCacheTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ca_ = new test::Issued(test::MakeCa()); }
  static void TearDownTestSuite() { delete ca_; }

  // A certificate linked to a new container holding its key behind kPin.
  PCCERT_CONTEXT Install(const std::string& container, test::Issued* user = nullptr) {
    test::Issued made = test::MakeUser(*ca_, "Signer");
    EXPECT_TRUE(ImportKeyContainer(container, made.key.get(), made.der, kPin, AT_KEYEXCHANGE).has_value());
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, made.der);
    CRYPT_KEY_PROV_INFO info{Utf16FromUtf8(container), {}, PROV_GOST_2012_256, 0, AT_KEYEXCHANGE};
    EXPECT_TRUE(CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    if (user != nullptr) *user = std::move(made);
    return cert;
  }

  static bool Verifies(const PCCERT_CONTEXT& cert, const Bytes& digest, const Bytes& provider_signature) {
    const Bytes standard(provider_signature.rbegin(), provider_signature.rend());
    ossl::PKeyPtr key(X509_get_pubkey(cert->Certificate()));
    ossl::PKeyCtxPtr ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    return EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_verify(ctx.get(), ossl::Data(standard), standard.size(), ossl::Data(digest), digest.size()) == 1;
  }

  // Signs through a context of its own; 0 when the signature verifies with
  // the certificate, else the failure's code.
  static DWORD SignWith(const HCRYPTPROV& prov, DWORD key_spec, const PCCERT_CONTEXT& cert) {
    const Bytes digest(32, '\x5A');
    HCRYPTHASH hash;
    if (!CryptCreateHash(prov, CALG_GR3411_2012_256, nullptr, 0, &hash) ||
        !CryptSetHashParam(hash, HP_HASHVAL, digest, 0))
      return GetLastError();
    BYTE signature[64];
    DWORD len = sizeof signature;
    if (!CryptSignHashA(hash, key_spec, nullptr, 0, signature, &len)) return GetLastError();
    return Verifies(cert, digest, Bytes(reinterpret_cast<char*>(signature), len)) ? 0 : NTE_BAD_SIGNATURE;
  }

  static DWORD Sign(const PCCERT_CONTEXT& cert, DWORD flags = 0) {
    HCRYPTPROV prov;
    DWORD key_spec = 0;
    if (!CryptAcquireCertificatePrivateKey(cert, flags, nullptr, &prov, &key_spec, nullptr)) return GetLastError();
    return SignWith(prov, key_spec, cert);
  }

  static size_t PinQuestions(const test::ScriptedPrompt& prompt) {
    size_t n = 0;
    for (const std::string& q : prompt.asked) n += q.rfind("pin", 0) == 0;
    return n;
  }

  test::TempDir dir_;
  test::ScopedPlatformRoot root_{dir_.path()};
  test::ScriptedPrompt prompt_;
  static test::Issued* ca_;
};

test::Issued* KeyCacheTest::ca_ = nullptr;

TEST_F(KeyCacheTest, ContextsOnOneContainerAskThePinOnce) {
  test::Issued user;
  PCCERT_CONTEXT cert = Install("\\\\.\\REGISTRY\\clerk", &user);
  // The container's second key behind the same PIN.
  const auto location = FindContainer("\\\\.\\REGISTRY\\clerk");
  ASSERT_TRUE(location.has_value());
  ASSERT_TRUE(KeyContainerFolder(location->folder).WriteKey(AT_SIGNATURE, PrivateKeyToPkcs8(user.key.get(), kPin)));

  // Without a person to ask, nothing is unlocked yet.
  EXPECT_EQ(Sign(cert, CRYPT_ACQUIRE_SILENT_FLAG), static_cast<DWORD>(NTE_SILENT_CONTEXT));
  prompt_.pins = {kPin};
  EXPECT_EQ(Sign(cert), 0u);
  EXPECT_EQ(Sign(cert), 0u);
  EXPECT_EQ(Sign(cert, CRYPT_ACQUIRE_SILENT_FLAG), 0u);
  HCRYPTPROV prov;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "\\\\.\\REGISTRY\\clerk", nullptr, PROV_GOST_2012_256, 0));
  EXPECT_EQ(SignWith(prov, AT_SIGNATURE, cert), 0u) << "the PIN that opened one key opens the other";
  EXPECT_EQ(prompt_.asked, (std::vector<std::string>{"pin:clerk"}));

  // A PIN the caller gives is still checked against the key.
  HCRYPTPROV given;
  ASSERT_TRUE(CryptAcquireContextA(&given, "\\\\.\\REGISTRY\\clerk", nullptr, PROV_GOST_2012_256, 0));
  ASSERT_TRUE(CryptSetProvParam(given, PP_KEYEXCHANGE_PIN, Bytes("9999\0", 5), 0));
  EXPECT_EQ(SignWith(given, AT_KEYEXCHANGE, cert), static_cast<DWORD>(SCARD_W_WRONG_CHV));
  ASSERT_TRUE(CryptSetProvParam(given, PP_KEYEXCHANGE_PIN, Bytes(kPin), 0));
  EXPECT_EQ(SignWith(given, AT_KEYEXCHANGE, cert), 0u);
  EXPECT_EQ(PinQuestions(prompt_), 1u);
}

TEST_F(KeyCacheTest, AWrongPinIsAskedAgainAndNeverKept) {
  PCCERT_CONTEXT cert = Install("\\\\.\\REGISTRY\\clumsy");
  prompt_.pins = {"0000", std::nullopt};
  EXPECT_EQ(Sign(cert), static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER));
  EXPECT_EQ(prompt_.asked, (std::vector<std::string>{"pin:clumsy", "pin-again:clumsy"}));
  EXPECT_EQ(Sign(cert, CRYPT_ACQUIRE_SILENT_FLAG), static_cast<DWORD>(NTE_SILENT_CONTEXT));

  prompt_.asked.clear();
  prompt_.pins = {"0000", kPin};
  EXPECT_EQ(Sign(cert), 0u);
  EXPECT_EQ(Sign(cert), 0u);
  EXPECT_EQ(prompt_.asked, (std::vector<std::string>{"pin:clumsy", "pin-again:clumsy"}));
}

TEST_F(KeyCacheTest, AContainerSeenGoneIsForgotten) {
  const std::string volume = dir_ / "media/FLASH";
  fs::create_directories(volume);
  PCCERT_CONTEXT cert = Install("\\\\.\\FAT12_A\\ivanov.000");
  const auto unplug = [&] { fs::rename(volume, dir_ / "unplugged"); };
  const auto plug = [&] { fs::rename(dir_ / "unplugged", volume); };
  HCRYPTPROV open;
  ASSERT_TRUE(CryptAcquireContextA(&open, "\\\\.\\FAT12_A\\ivanov.000", nullptr, PROV_GOST_2012_256, 0));

  // Each way of finding the medium gone: a context opened before signs,
  // a new one is acquired, the containers are enumerated.
  const std::vector<std::pair<const char*, std::function<void()>>> looks = {
      {"signing in an open context", [&] { EXPECT_EQ(SignWith(open, AT_KEYEXCHANGE, cert), static_cast<DWORD>(NTE_NO_KEY)); }},
      {"acquiring", [&] { EXPECT_EQ(Sign(cert, CRYPT_ACQUIRE_SILENT_FLAG), static_cast<DWORD>(NTE_BAD_KEYSET)); }},
      {"enumerating",
       [&] {
         HCRYPTPROV any;
         ASSERT_TRUE(CryptAcquireContextA(&any, nullptr, nullptr, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
         DWORD size = 0;
         EXPECT_FALSE(CryptGetProvParam(any, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST));
         EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
       }},
  };
  for (const auto& [how, look] : looks) {
    SCOPED_TRACE(how);
    prompt_.asked.clear();
    prompt_.pins = {kPin, kPin};
    EXPECT_EQ(Sign(cert), 0u);
    EXPECT_EQ(SignWith(open, AT_KEYEXCHANGE, cert), 0u);
    EXPECT_EQ(PinQuestions(prompt_), 1u);
    unplug();
    look();
    plug();
    // The same medium back, nothing on it changed: its PIN is asked again.
    EXPECT_EQ(Sign(cert, CRYPT_ACQUIRE_SILENT_FLAG), static_cast<DWORD>(NTE_SILENT_CONTEXT));
    EXPECT_EQ(SignWith(open, AT_KEYEXCHANGE, cert), 0u);
    EXPECT_EQ(PinQuestions(prompt_), 2u);
    DropPrivateKeyCache();
  }
}

TEST_F(KeyCacheTest, DroppingTheCacheReachesContextsStillOpen) {
  PCCERT_CONTEXT cert = Install("\\\\.\\REGISTRY\\stopped");
  HCRYPTPROV kept;
  DWORD key_spec = 0;
  prompt_.pins = {kPin, kPin};
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &kept, &key_spec, nullptr));
  EXPECT_EQ(SignWith(kept, key_spec, cert), 0u);
  EXPECT_EQ(Sign(cert), 0u);
  EXPECT_EQ(PinQuestions(prompt_), 1u);

  DropPrivateKeyCache();
  EXPECT_EQ(Sign(cert, CRYPT_ACQUIRE_SILENT_FLAG), static_cast<DWORD>(NTE_SILENT_CONTEXT));
  EXPECT_EQ(SignWith(kept, key_spec, cert), 0u);
  EXPECT_EQ(PinQuestions(prompt_), 2u);
  EXPECT_EQ(Sign(cert), 0u);
  EXPECT_EQ(PinQuestions(prompt_), 2u);
}

TEST_F(KeyCacheTest, ThreadsSigningWithOneContainerShareOneQuestion) {
  PCCERT_CONTEXT cert = Install("\\\\.\\REGISTRY\\busy");
  prompt_.pins = {kPin};  // a second question would be answered Cancel
  std::atomic<bool> go{false};
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      HCRYPTPROV prov;
      DWORD key_spec = 0;
      if (!CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &key_spec, nullptr)) return;
      for (int i = 0; i < 3; ++i) {
        const Bytes digest(32, static_cast<char>('a' + t * 3 + i));
        HCRYPTHASH hash;
        BYTE signature[64];
        DWORD len = sizeof signature;
        if (CryptCreateHash(prov, CALG_GR3411_2012_256, nullptr, 0, &hash) &&
            CryptSetHashParam(hash, HP_HASHVAL, digest, 0) && CryptSignHashA(hash, key_spec, nullptr, 0, signature, &len) &&
            Verifies(cert, digest, Bytes(reinterpret_cast<char*>(signature), len)))
          ++good;
      }
    });
  go = true;
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(good.load(), 24);
  EXPECT_EQ(prompt_.asked, (std::vector<std::string>{"pin:busy"}));
}

TEST_F(KeyCacheTest, AKeyImportedAgainUnderTheSameNameIsReadAnew) {
  PCCERT_CONTEXT first = Install("\\\\.\\REGISTRY\\renewed");
  prompt_.pins = {kPin, kPin};
  EXPECT_EQ(Sign(first), 0u);
  HCRYPTPROV open;
  ASSERT_TRUE(CryptAcquireContextA(&open, "\\\\.\\REGISTRY\\renewed", nullptr, PROV_GOST_2012_256, 0));

  // The certificate tool replaces the container behind the provider's back:
  // same name, same folder, same PIN, a new key.
  const auto location = FindContainer("\\\\.\\REGISTRY\\renewed");
  ASSERT_TRUE(location.has_value());
  fs::remove_all(location->folder);
  PCCERT_CONTEXT second = Install("\\\\.\\REGISTRY\\renewed");
  ASSERT_EQ(FindContainer("\\\\.\\REGISTRY\\renewed")->folder, location->folder);

  EXPECT_EQ(Sign(second), 0u);
  EXPECT_EQ(SignWith(open, AT_KEYEXCHANGE, second), 0u);
  EXPECT_EQ(Sign(first), static_cast<DWORD>(NTE_BAD_SIGNATURE)) << "the old key must not sign";
  EXPECT_EQ(PinQuestions(prompt_), 2u);
}

// KEYCACHEMINUTES: a key unused for the limit is forgotten, PIN and all;
// each use starts the time again. The cache's own clock stands still here
// and moves only when the test says.
TEST(KeyCacheIdleLimit, AKeyUnusedForTheLimitIsForgotten) {
  using std::chrono::minutes;
  std::atomic<std::chrono::steady_clock::rep> now{0};
  csp::PrivateKeyCache cache([&] { return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(now.load())); });
  const auto pass = [&](minutes m) { now += std::chrono::duration_cast<std::chrono::steady_clock::duration>(m).count(); };
  const csp::KeyFileId file{1, 2, 3, 4};
  auto pair = std::make_shared<csp::KeyPair>();
  const SecretText pin("1234");
  cache.Put("/media/a/k.000", AT_KEYEXCHANGE, file, pair, &pin);
  cache.Put("/media/a/k.000", AT_SIGNATURE, file, pair, &pin);

  pass(minutes(60));
  EXPECT_EQ(cache.Find("/media/a/k.000", AT_KEYEXCHANGE, file, nullptr), pair) << "no limit: kept until dropped";
  cache.SetIdleLimit(minutes(5));
  EXPECT_EQ(cache.Find("/media/a/k.000", AT_SIGNATURE, file, nullptr), nullptr) << "unused for an hour";
  pass(minutes(4));
  EXPECT_EQ(cache.Find("/media/a/k.000", AT_KEYEXCHANGE, file, nullptr), pair);
  pass(minutes(4));
  EXPECT_EQ(cache.Find("/media/a/k.000", AT_KEYEXCHANGE, file, nullptr), pair) << "the last use counts";
  ASSERT_TRUE(cache.Pin("/media/a/k.000").has_value());
  pass(minutes(5));
  EXPECT_FALSE(cache.Pin("/media/a/k.000").has_value()) << "the PIN goes with the key";
  cache.DropIdle();
  EXPECT_EQ(pair.use_count(), 1) << "nothing of the key is left in the cache";
}

}  // namespace
}  // namespace zuntar
