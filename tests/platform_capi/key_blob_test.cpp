// Key agreement, public-key and simple blobs, and GOST 28147-89 decryption.
#include "platform/capi/csp/key_blob.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "platform/capi/api/crypt_api.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/cert/store_files.h"
#include "platform/capi/csp/container_import.h"
#include "platform/capi/gost/gost28147.h"
#include "platform/capi/gost/gost_key_material.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace zuntar {
namespace {

Bytes Export(const HCRYPTKEY& key, const HCRYPTKEY& exp_key, DWORD type) {
  DWORD len = 0;
  EXPECT_TRUE(CryptExportKey(key, exp_key, type, 0, nullptr, &len)) << std::hex << GetLastError();
  Bytes blob(len, '\0');
  EXPECT_TRUE(CryptExportKey(key, exp_key, type, 0, reinterpret_cast<BYTE*>(blob.data()), &len));
  blob.resize(len);
  return blob;
}

Bytes Dword(DWORD v) { return Bytes(reinterpret_cast<const char*>(&v), 4); }


class KeyBlobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::Issued ca = test::MakeCa();
    recipient_ = test::MakeUser(ca, "Recipient");
    ASSERT_TRUE(ImportKeyContainer("\\\\.\\REGISTRY\\recipient", recipient_.key.get(), recipient_.der, {}, AT_KEYEXCHANGE));
    ASSERT_TRUE(CryptAcquireContextA(&recipient_prov_, "\\\\.\\REGISTRY\\recipient", nullptr, PROV_GOST_2012_256, 0));
    ASSERT_TRUE(CryptGetUserKey(recipient_prov_, AT_KEYEXCHANGE, &exchange_));
    ASSERT_TRUE(CryptAcquireContextA(&sender_prov_, nullptr, nullptr, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
  }

  // The sender's ephemeral key agreed with the recipient's public key, and
  // the recipient's key agreed with the sender's ephemeral public key.
  void Agree(HCRYPTKEY* sender_agreed, HCRYPTKEY* recipient_agreed, HCRYPTKEY* ephemeral) {
    ASSERT_TRUE(CryptGenKey(sender_prov_, CALG_DH_GR3410_12_256_EPHEM, CRYPT_EXPORTABLE, ephemeral));
    ASSERT_TRUE(CryptImportKey(sender_prov_, Export(exchange_, nullptr, PUBLICKEYBLOB), *ephemeral, 0, sender_agreed));
    ASSERT_TRUE(CryptImportKey(recipient_prov_, Export(*ephemeral, nullptr, PUBLICKEYBLOB), exchange_, 0,
                               recipient_agreed));
    for (const HCRYPTKEY& k : {*sender_agreed, *recipient_agreed})
      ASSERT_TRUE(CryptSetKeyParam(k, KP_ALGID, Dword(CALG_PRO_EXPORT), 0));
  }

  test::TempDir dir_;
  test::ScopedPlatformRoot root_{dir_.path()};
  test::Issued recipient_;
  HCRYPTPROV recipient_prov_, sender_prov_;
  HCRYPTKEY exchange_;
};

TEST_F(KeyBlobTest, PublicKeyBlobCarriesTheCertificateKey) {
  const Bytes blob = Export(exchange_, nullptr, PUBLICKEYBLOB);
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, recipient_.der);
  const CERT_PUBLIC_KEY_INFO& spki = cert->Info().SubjectPublicKeyInfo;
  const Bytes expected = Bytes("\x06\x20\x00\x00", 4) + Dword(CALG_DH_GR3410_12_256_SF) + "MAG1" +
                         Bytes("\x00\x02\x00\x00", 4) + spki.Algorithm.Parameters + PublicKeyPoint(spki);
  EXPECT_EQ(blob, expected);
  // The fund's layout names the key 0x2E49 with the certificate's parameters.
  const Bytes fund = Bytes("\x06\x20\x00\x00\x49\x2E\x00\x00", 8) + "MAG1" + Bytes("\x00\x02\x00\x00", 4) +
                     spki.Algorithm.Parameters + PublicKeyPoint(spki);
  HCRYPTKEY agreed;
  ASSERT_TRUE(CryptImportKey(recipient_prov_, fund, exchange_, 0, &agreed));
  HCRYPTKEY pub;
  ASSERT_TRUE(CryptImportPublicKeyInfoEx(sender_prov_, X509_ASN_ENCODING, spki, 0, 0, nullptr, &pub));
  EXPECT_EQ(Export(pub, nullptr, PUBLICKEYBLOB).substr(16), blob.substr(16));
}

TEST_F(KeyBlobTest, SimpleBlobHasTheExactLayoutAndUnwrapsOnTheOtherSide) {
  HCRYPTKEY sender_agreed, recipient_agreed, ephemeral;
  Agree(&sender_agreed, &recipient_agreed, &ephemeral);
  HCRYPTKEY session;
  ASSERT_TRUE(CryptGenKey(sender_prov_, CALG_G28147, CRYPT_EXPORTABLE, &session));
  const Bytes blob = Export(session, sender_agreed, SIMPLEBLOB);
  ASSERT_EQ(blob.size(), 73u);
  EXPECT_EQ(blob.substr(0, 16), Bytes("\x01\x20\x00\x00\x1E\x66\x00\x00\xFD\x51\x4A\x37\x1E\x66\x00\x00", 16));
  EXPECT_EQ(blob.substr(60), Bytes("\x30\x0B\x06\x09\x2A\x85\x03\x07\x01\x02\x05\x01\x01", 13));

  HCRYPTKEY received;
  ASSERT_TRUE(CryptImportKey(recipient_prov_, blob, recipient_agreed, 0, &received));
  const Bytes iv = "12345678";
  for (const HCRYPTKEY& k : {session, received}) {
    ASSERT_TRUE(CryptSetKeyParam(k, KP_IV, iv, 0));
    ASSERT_TRUE(CryptSetKeyParam(k, KP_MODE, Dword(CRYPT_MODE_CBC), 0));
    ASSERT_TRUE(CryptSetKeyParam(k, KP_PADDING, Dword(PKCS5_PADDING), 0));
  }
  Bytes data = "The quick brown fox jumps over the lazy dog";
  ASSERT_TRUE(CryptEncrypt(session, nullptr, true, 0, &data));
  EXPECT_EQ(data.size(), 48u);
  DWORD len = static_cast<DWORD>(data.size());
  ASSERT_TRUE(CryptDecrypt(received, nullptr, true, 0, reinterpret_cast<BYTE*>(data.data()), &len));
  EXPECT_EQ(data.substr(0, len), "The quick brown fox jumps over the lazy dog");

  // A blob whose MAC does not match is refused.
  Bytes tampered = blob;
  tampered[30] ^= 1;
  EXPECT_FALSE(CryptImportKey(recipient_prov_, tampered, recipient_agreed, 0, &received));
  EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
}

TEST_F(KeyBlobTest, DecryptsOpensslGost89CbcInEightBytePieces) {
  // The content key wrapped the way a sender's provider does it.
  const Bytes content_key = Bytes("0123456789abcdef0123456789ABCDEF", 32);
  const Bytes ukm = "UKM-8byt";
  ossl::PKeyPtr ephemeral = GenerateGostKey(GostKeyKind::k2012_256);
  ossl::PKeyPtr recipient_pub(X509_get_pubkey(CertCreateCertificateContext(X509_ASN_ENCODING, recipient_.der)->Certificate()));
  Bytes kek, encrypted, mac;
  ASSERT_TRUE(AgreeKey(ephemeral.get(), recipient_pub.get(), ukm, &kek));
  ASSERT_TRUE(gost28147::WrapCryptoPro(kek, "1.2.643.7.1.2.5.1.1", ukm, content_key, &encrypted, &mac));
  const Bytes simple_blob = Bytes("\x01\x20\x00\x00\x1E\x66\x00\x00\xFD\x51\x4A\x37\x1E\x66\x00\x00", 16) + ukm +
                            encrypted + mac + Bytes("\x30\x0B\x06\x09\x2A\x85\x03\x07\x01\x02\x05\x01\x01", 13);
  CERT_PUBLIC_KEY_INFO eph_info;
  ASSERT_TRUE(PublicKeyInfoOf(ephemeral.get(), &eph_info));
  const Bytes public_blob = Bytes("\x06\x20\x00\x00\x49\x2E\x00\x00", 8) + "MAG1" + Bytes("\x00\x02\x00\x00", 4) +
                            eph_info.Algorithm.Parameters + PublicKeyPoint(eph_info);

  // Ciphertext made by OpenSSL with the same key.
  const std::string plain = "Payload of the fund's response, not a multiple of eight";
  std::ofstream(dir_ / "plain.txt", std::ios::binary) << plain;
  const std::string command = "CRYPT_PARAMS=1.2.643.7.1.2.5.1.1 openssl enc -engine gost -gost89-cbc -K " +
                              HexUpper(content_key) + " -iv " + HexUpper("initvect") + " -in " + dir_ / "plain.txt" +
                              " -out " + dir_ / "cipher.bin 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  Bytes ciphertext;
  ASSERT_TRUE(StoreFolder(dir_.path()).Read("cipher", ".bin", &ciphertext));

  HCRYPTKEY agreed, session;
  ASSERT_TRUE(CryptImportKey(recipient_prov_, public_blob, exchange_, 0, &agreed));
  ASSERT_TRUE(CryptSetKeyParam(agreed, KP_ALGID, Dword(CALG_PRO_EXPORT), 0));
  ASSERT_TRUE(CryptImportKey(recipient_prov_, simple_blob, agreed, 0, &session));
  ASSERT_TRUE(CryptSetKeyParam(session, KP_IV, "initvect", 0));
  ASSERT_TRUE(CryptSetKeyParam(session, KP_MODE, Dword(CRYPT_MODE_CBC), 0));
  ASSERT_TRUE(CryptSetKeyParam(session, KP_PADDING, Dword(ISO10126_PADDING), 0));
  std::string result;
  for (size_t pos = 0; pos < ciphertext.size(); pos += 8) {
    Bytes piece = ciphertext.substr(pos, 8);
    DWORD len = static_cast<DWORD>(piece.size());
    ASSERT_TRUE(CryptDecrypt(session, nullptr, pos + 1 + 8 > ciphertext.size(), 0,
                             reinterpret_cast<BYTE*>(piece.data()), &len));
    result += piece.substr(0, len);
  }
  EXPECT_EQ(result, plain);
}

TEST_F(KeyBlobTest, ExportedSimpleBlobImportsAndDecryptsOpensslCiphertextOfItsKey) {
  HCRYPTKEY sender_agreed, recipient_agreed, ephemeral;
  Agree(&sender_agreed, &recipient_agreed, &ephemeral);
  HCRYPTKEY session;
  ASSERT_TRUE(CryptGenKey(sender_prov_, CALG_G28147, CRYPT_EXPORTABLE, &session));
  const Bytes blob = Export(session, sender_agreed, SIMPLEBLOB);

  // The key inside the blob, recovered with OpenSSL's own key agreement.
  ALG_ID alg = 0;
  const GostKeyParams* params = nullptr;
  Bytes key_params, point;
  ASSERT_EQ(csp::ParsePublicKeyBlob(Export(ephemeral, nullptr, PUBLICKEYBLOB), &alg, &params, &key_params, &point), 0u);
  ossl::PKeyPtr sender_pub = PublicKeyFromPoint(params->key_oid, key_params, point);
  Bytes kek, content_key;
  ASSERT_TRUE(AgreeKey(recipient_.key.get(), sender_pub.get(), blob.substr(16, 8), &kek));
  ASSERT_TRUE(gost28147::UnwrapCryptoPro(kek, "1.2.643.7.1.2.5.1.1", blob.substr(16, 8), blob.substr(24, 32),
                                         blob.substr(56, 4), &content_key));

  const std::string plain(1000, 'z');
  std::ofstream(dir_ / "plain.txt", std::ios::binary) << plain;
  const std::string command = "CRYPT_PARAMS=1.2.643.7.1.2.5.1.1 openssl enc -engine gost -gost89-cbc -K " +
                              HexUpper(content_key) + " -iv 0011223344556677 -in " + dir_ / "plain.txt" + " -out " +
                              dir_ / "cipher.bin 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  Bytes ciphertext;
  ASSERT_TRUE(StoreFolder(dir_.path()).Read("cipher", ".bin", &ciphertext));

  HCRYPTKEY received;
  ASSERT_TRUE(CryptImportKey(recipient_prov_, blob, recipient_agreed, 0, &received));
  ASSERT_TRUE(CryptSetKeyParam(received, KP_IV, Bytes("\x00\x11\x22\x33\x44\x55\x66\x77", 8), 0));
  ASSERT_TRUE(CryptSetKeyParam(received, KP_MODE, Dword(CRYPT_MODE_CBC), 0));
  ASSERT_TRUE(CryptSetKeyParam(received, KP_PADDING, Dword(PKCS5_PADDING), 0));
  DWORD len = static_cast<DWORD>(ciphertext.size());
  ASSERT_TRUE(CryptDecrypt(received, nullptr, true, 0, reinterpret_cast<BYTE*>(ciphertext.data()), &len));
  EXPECT_EQ(ciphertext.substr(0, len), plain);
}

TEST_F(KeyBlobTest, EphemeralKeysWithParametersSetBeforeGeneration) {
  for (ALG_ID alg : {CALG_DH_EL_EPHEM, CALG_DH_GR3410_12_256_EPHEM, CALG_DH_GR3410_12_512_EPHEM}) {
    HCRYPTKEY eph;
    ASSERT_TRUE(CryptGenKey(sender_prov_, alg, CRYPT_EXPORTABLE | CRYPT_PREGEN, &eph)) << std::hex << alg;
    DWORD len = 0;
    EXPECT_FALSE(CryptExportKey(eph, nullptr, PUBLICKEYBLOB, 0, nullptr, &len));
    Bytes dh, hash_oid;
    ASSERT_TRUE(CryptGetKeyParam(eph, KP_DHOID, &dh));
    ASSERT_TRUE(CryptGetKeyParam(eph, KP_HASHOID, &hash_oid));
    ASSERT_TRUE(CryptSetKeyParam(eph, KP_DHOID, dh, 0));
    ASSERT_TRUE(CryptSetKeyParam(eph, KP_HASHOID, hash_oid, 0));
    ASSERT_TRUE(CryptSetKeyParam(eph, KP_X, {}, 0));
    const Bytes blob = Export(eph, nullptr, PUBLICKEYBLOB);
    EXPECT_EQ(blob.substr(4, 4), Dword(alg));
    EXPECT_FALSE(CryptSetKeyParam(eph, KP_X, {}, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEY_STATE);
  }
}

TEST_F(KeyBlobTest, PrivateKeyMovesToAnotherContainerWrapped) {
  HCRYPTPROV target;
  ASSERT_TRUE(CryptAcquireContextA(&target, "\\\\.\\REGISTRY\\copy", nullptr, PROV_GOST_2012_256, CRYPT_NEWKEYSET));
  ASSERT_TRUE(CryptSetProvParam(target, PP_KEYEXCHANGE_PIN, Bytes(1, '\0'), 0));
  HCRYPTKEY source_eph, target_eph, source_agreed, target_agreed;
  ASSERT_TRUE(CryptGenKey(recipient_prov_, CALG_DH_GR3410_12_256_EPHEM, CRYPT_EXPORTABLE, &source_eph));
  ASSERT_TRUE(CryptGenKey(target, CALG_DH_GR3410_12_256_EPHEM, CRYPT_EXPORTABLE | CRYPT_PREGEN, &target_eph));
  for (DWORD param : {KP_HASHOID, KP_DHOID}) {
    Bytes value;
    ASSERT_TRUE(CryptGetKeyParam(source_eph, param, &value));
    ASSERT_TRUE(CryptSetKeyParam(target_eph, param, value, 0));
  }
  ASSERT_TRUE(CryptSetKeyParam(target_eph, KP_X, {}, 0));
  ASSERT_TRUE(CryptImportKey(target, Export(source_eph, nullptr, PUBLICKEYBLOB), target_eph, 0, &target_agreed));
  ASSERT_TRUE(CryptImportKey(recipient_prov_, Export(target_eph, nullptr, PUBLICKEYBLOB), source_eph, 0, &source_agreed));
  for (const HCRYPTKEY& k : {source_agreed, target_agreed})
    ASSERT_TRUE(CryptSetKeyParam(k, KP_ALGID, Dword(CALG_PRO12_EXPORT), 0));
  HCRYPTKEY moved;
  ASSERT_TRUE(CryptImportKey(target, Export(exchange_, source_agreed, PRIVATEKEYBLOB), target_agreed, CRYPT_EXPORTABLE, &moved));
  ASSERT_TRUE(CryptSetKeyParam(moved, KP_CERTIFICATE, recipient_.der, 0));

  HCRYPTPROV reopened;
  ASSERT_TRUE(CryptAcquireContextA(&reopened, "\\\\.\\REGISTRY\\copy", nullptr, PROV_GOST_2012_256, 0));
  HCRYPTKEY key;
  ASSERT_TRUE(CryptGetUserKey(reopened, AT_KEYEXCHANGE, &key));
  Bytes cert;
  ASSERT_TRUE(CryptGetKeyParam(key, KP_CERTIFICATE, &cert));
  EXPECT_EQ(cert, recipient_.der);
  EXPECT_EQ(Export(key, nullptr, PUBLICKEYBLOB), Export(exchange_, nullptr, PUBLICKEYBLOB));
}

TEST_F(KeyBlobTest, GarbageBlobsGiveErrorCodes) {
  HCRYPTKEY sender_agreed, recipient_agreed, ephemeral;
  Agree(&sender_agreed, &recipient_agreed, &ephemeral);
  HCRYPTKEY session;
  ASSERT_TRUE(CryptGenKey(sender_prov_, CALG_G28147, 0, &session));
  const Bytes simple = Export(session, sender_agreed, SIMPLEBLOB);
  const Bytes pub = Export(ephemeral, nullptr, PUBLICKEYBLOB);
  std::vector<Bytes> inputs = {"", "\x01", "\x06\x20", simple.substr(0, 40), pub.substr(0, pub.size() - 1), pub + "x"};
  Bytes wrong_magic = simple;
  wrong_magic[8] = 'X';
  inputs.push_back(wrong_magic);
  Bytes wrong_pub_magic = pub;
  wrong_pub_magic[9] = 'X';
  inputs.push_back(wrong_pub_magic);
  std::mt19937 rng(7);
  for (int i = 0; i < 300; ++i) {
    Bytes b = (i % 2 ? simple : pub);
    b[rng() % b.size()] = static_cast<char>(rng());
    if (i % 3 == 0) b.resize(rng() % b.size());
    inputs.push_back(b);
  }
  for (const Bytes& in : inputs) {
    HCRYPTKEY key;
    for (const HCRYPTKEY& with : {HCRYPTKEY(), recipient_agreed, exchange_}) {
      if (!CryptImportKey(recipient_prov_, in, with, 0, &key)) {
        EXPECT_NE(GetLastError(), 0u);
      }
    }
  }
  HCRYPTKEY key;
  EXPECT_FALSE(CryptImportKey(recipient_prov_, wrong_magic, recipient_agreed, 0, &key));
  EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
  // A sender's point on another curve of the same size (CryptoPro set B)
  // agrees with nothing here: an error, not the engine's abort.
  HCRYPTKEY other, mismatched;
  ASSERT_TRUE(CryptGenKey(sender_prov_, CALG_DH_GR3410_12_256_EPHEM, CRYPT_EXPORTABLE | CRYPT_PREGEN, &other));
  ASSERT_TRUE(CryptSetKeyParam(other, KP_DHOID, Bytes("1.2.643.2.2.35.2\0", 17), 0));
  ASSERT_TRUE(CryptSetKeyParam(other, KP_X, {}, 0));
  if (CryptImportKey(recipient_prov_, Export(other, nullptr, PUBLICKEYBLOB), exchange_, 0, &mismatched)) {
    ASSERT_TRUE(CryptSetKeyParam(mismatched, KP_ALGID, Dword(CALG_PRO_EXPORT), 0));
    EXPECT_FALSE(CryptImportKey(recipient_prov_, simple, mismatched, 0, &key));
  }
  EXPECT_NE(GetLastError(), 0u);
  DWORD len = 5;
  Bytes odd = "12345";
  ASSERT_TRUE(CryptSetKeyParam(session, KP_MODE, Dword(CRYPT_MODE_CBC), 0));
  EXPECT_FALSE(CryptDecrypt(session, nullptr, true, 0, reinterpret_cast<BYTE*>(odd.data()), &len));
  EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
}

}  // namespace
}  // namespace zuntar
