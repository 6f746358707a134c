// GOST 28147-89 session keys in CBC mode: the padding modes, decryption in
// eight-byte pieces, and what a failed decryption leaves in the buffer.
#include <gtest/gtest.h>

#include "platform/capi/api/crypt_api.h"
#include "platform/capi/base/error_codes.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace zuntar {
namespace {

Bytes Dword(DWORD v) { return Bytes(reinterpret_cast<const char*>(&v), 4); }

class SessionKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CryptAcquireContextA(&prov_, nullptr, nullptr, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptGenKey(prov_, CALG_G28147, CRYPT_EXPORTABLE, &key_));
    ASSERT_TRUE(CryptSetKeyParam(key_, KP_IV, "vector!!", 0));
    ASSERT_TRUE(CryptSetKeyParam(key_, KP_MODE, Dword(CRYPT_MODE_CBC), 0));
  }

  Bytes Encrypt(Bytes data, DWORD padding) {
    EXPECT_TRUE(CryptSetKeyParam(key_, KP_PADDING, Dword(padding), 0));
    EXPECT_TRUE(CryptEncrypt(key_, nullptr, true, 0, &data));
    return data;
  }

  // Decrypts in eight-byte pieces, the last one final; false at the first
  // failure.
  bool DecryptInPieces(Bytes data, DWORD padding, Bytes* plain) {
    EXPECT_TRUE(CryptSetKeyParam(key_, KP_PADDING, Dword(padding), 0));
    plain->clear();
    for (size_t pos = 0; pos < data.size(); pos += 8) {
      Bytes piece = data.substr(pos, 8);
      DWORD len = static_cast<DWORD>(piece.size());
      if (!CryptDecrypt(key_, nullptr, pos + 9 > data.size(), 0, reinterpret_cast<BYTE*>(piece.data()), &len))
        return false;
      *plain += piece.substr(0, len);
    }
    return true;
  }

  test::TempDir dir_;
  test::ScopedPlatformRoot root_{dir_.path()};
  HCRYPTPROV prov_;
  HCRYPTKEY key_;
};

TEST_F(SessionKeyTest, PaddingModesGiveThePayloadBackAlignedOrNot) {
  // Mode 4 is the fund's form: an unaligned payload gets N bytes of N, an
  // aligned one nothing, and both come back exactly.
  const Bytes sixteen = "aligned payload\x03";  // ends below 8 without being a pad
  for (const Bytes& payload : {sixteen, Bytes("seventeen bytes!!"), Bytes("twenty-three bytes long"), Bytes()}) {
    const Bytes cipher = Encrypt(payload, ISO10126_PADDING);
    EXPECT_EQ(cipher.size(), (payload.size() + 7) / 8 * 8) << payload;
    Bytes plain;
    ASSERT_TRUE(DecryptInPieces(cipher, ISO10126_PADDING, &plain));
    EXPECT_EQ(plain, payload);
  }
  // An unaligned payload padded by the fund's services themselves.
  Bytes plain;
  ASSERT_TRUE(DecryptInPieces(Encrypt(Bytes("seventeen bytes!!") + Bytes(7, '\x07'), ZERO_PADDING),
                              ISO10126_PADDING, &plain));
  EXPECT_EQ(plain, "seventeen bytes!!");

  // PKCS #5 always pads and strips; zero padding strips nothing.
  ASSERT_TRUE(DecryptInPieces(Encrypt(sixteen, PKCS5_PADDING), PKCS5_PADDING, &plain));
  EXPECT_EQ(plain, sixteen);
  ASSERT_TRUE(DecryptInPieces(Encrypt("17 bytes of data.", ZERO_PADDING), ZERO_PADDING, &plain));
  EXPECT_EQ(plain, Bytes("17 bytes of data.") + Bytes(7, '\0'));
}

TEST_F(SessionKeyTest, FailedDecryptionLeavesNothingInTheBuffer) {
  // A last piece that is not a whole block: an error, and the buffer holds
  // no ciphertext afterwards.
  Bytes cipher = Encrypt("twenty-three bytes long", ZERO_PADDING) + "abc";
  Bytes plain;
  EXPECT_FALSE(DecryptInPieces(cipher, ISO10126_PADDING, &plain));
  EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
  Bytes odd = "12345";
  DWORD len = 5;
  EXPECT_FALSE(CryptDecrypt(key_, nullptr, true, 0, reinterpret_cast<BYTE*>(odd.data()), &len));
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(odd, Bytes(5, '\0'));

  // A PKCS #5 pad that does not check out: the decrypted block is not handed
  // back either.
  Bytes bad = Encrypt("8 bytes!", ZERO_PADDING);
  ASSERT_EQ(bad.size(), 8u);
  ASSERT_TRUE(CryptSetKeyParam(key_, KP_PADDING, Dword(PKCS5_PADDING), 0));
  len = 8;
  EXPECT_FALSE(CryptDecrypt(key_, nullptr, true, 0, reinterpret_cast<BYTE*>(bad.data()), &len));
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(bad, Bytes(8, '\0'));

  // The key starts again from its vector after a failure.
  ASSERT_TRUE(DecryptInPieces(Encrypt("seventeen bytes!!", ISO10126_PADDING), ISO10126_PADDING, &plain));
  EXPECT_EQ(plain, "seventeen bytes!!");
}

}  // namespace
}  // namespace zuntar
