// The fields of the fund's key-transport value, the blobs made of them, the
// provider profiles and the removal of the fund's padding.
#include <gtest/gtest.h>

#include "crypto/cert_identity.h"
#include "crypto/fund_blobs.h"

namespace zuntar {
namespace {

// 0, 1, 2, ... so that every field shows where it was read.
Bytes Counting(size_t size) {
  Bytes b(size, '\0');
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<char>(i);
  return b;
}

TEST(FundKeyTransport, FieldsComeFromFixedOffsetsAndShrinkWithTheValue) {
  const Bytes k = Counting(172);
  FundKeyTransport t = ReadFundKeyTransport(k);
  EXPECT_EQ(t.encrypted_key, k.substr(7, 32));
  EXPECT_EQ(t.mac, k.substr(41, 4));
  EXPECT_EQ(t.ephemeral_key, k.substr(98, 64));
  EXPECT_EQ(t.ukm, k.substr(164, 8));

  t = ReadFundKeyTransport(k.substr(0, 100));
  EXPECT_EQ(t.mac, k.substr(41, 4));
  EXPECT_EQ(t.ephemeral_key, k.substr(98, 2));
  EXPECT_EQ(t.ukm, "");
  t = ReadFundKeyTransport(k.substr(0, 20));
  EXPECT_EQ(t.encrypted_key, k.substr(7, 13));
  EXPECT_EQ(t.mac, "");
  EXPECT_EQ(ReadFundKeyTransport("").encrypted_key, "");
}

TEST(FundBlobs, HaveTheProvidersLayout) {
  const Bytes params("\x30\x13\x06\x07\x2A\x85\x03\x02\x02\x23\x01\x06\x08\x2A\x85\x03\x07\x01\x01\x02\x02", 21);
  const Bytes key = Counting(64);
  EXPECT_EQ(BytesToHex(FundPublicKeyBlob(params, key)),
            "06200000492E00004D41473100020000" + BytesToHex(params) + BytesToHex(key));

  const FundKeyTransport t = ReadFundKeyTransport(Counting(172));
  const Bytes simple = FundSimpleBlob(t);
  ASSERT_EQ(simple.size(), 73u);
  EXPECT_EQ(BytesToHex(simple), "012000001E660000FD514A371E660000" + BytesToHex(t.ukm) + BytesToHex(t.encrypted_key) +
                                    BytesToHex(t.mac) + "300B06092A850307010205010" + "1");
  // Short fields make a short blob: nothing is padded or checked here.
  EXPECT_EQ(FundSimpleBlob(ReadFundKeyTransport(Counting(20))).size(), 16u + 13 + 13);
}

TEST(FundProfile, FollowsTheProviderName) {
  struct Case {
    const char* name;
    DWORD param, padding;
    FundDecryption decryption;
  } cases[] = {
      {"Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider", 7, 4, FundDecryption::kPieces},
      {"Infotecs GOST 2012/512 Cryptographic Service Provider", 108, 3, FundDecryption::kWholeTwoStepFinal},
      {"Infotecs Crypto-Pro compatible", 7, 4, FundDecryption::kPieces},
      {"crypto-pro in lower case", 7, 0, FundDecryption::kWhole},
      {"", 7, 0, FundDecryption::kWhole},
  };
  for (const Case& c : cases) {
    const FundProviderProfile p = FundProfileFor(c.name);
    EXPECT_EQ(p.agreement_param, c.param) << c.name;
    EXPECT_EQ(p.padding, c.padding) << c.name;
    EXPECT_EQ(p.decryption, c.decryption) << c.name;
  }
}

TEST(FundPadding, IsRemovedOnlyWhenWellFormed) {
  const std::pair<Bytes, Bytes> cases[] = {
      {Bytes("17 bytes payload!") + Bytes(7, '\x07'), "17 bytes payload!"},
      {Bytes("payload") + '\x01', "payload"},
      {Bytes(3, '\x03'), ""},
      {Bytes("aligned payload\x03"), Bytes("aligned payload\x03")},  // "e\x03" is no pad
      {Bytes("ends in eight\x08"), Bytes("ends in eight\x08")},
      {Bytes("nul\0", 4), Bytes("nul\0", 4)},
      {Bytes(2, '\x05'), Bytes(2, '\x05')},  // longer than the text
      {"", ""},
  };
  for (const auto& [in, out] : cases) {
    Bytes plain = in;
    RemoveFundPadding(&plain);
    EXPECT_EQ(BytesToHex(plain), BytesToHex(out)) << BytesToHex(in);
  }
}

}  // namespace
}  // namespace zuntar
