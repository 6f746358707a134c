// Enveloped messages for several recipients, both ways with `openssl cms`,
// and their decryption through the recipient's provider, whole and streamed.
#include <gtest/gtest.h>

#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/asn1/der_writer.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/msg/agree_envelope.h"
#include "platform/capi/msg/crypt_msg.h"
#include "platform/capi/msg/crypt_msg_simple.h"
#include "support/msg_fixture.h"

namespace zuntar {
namespace {

class EnvelopedMsgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ca_ = test::MakeCa();
    const GostKeyKind kinds[] = {GostKeyKind::k2012_256, GostKeyKind::k2012_512, GostKeyKind::k2001};
    for (int i = 0; i < 3; ++i)
      parties_.push_back(test::MakeParty(dir_, ca_, "recipient" + std::to_string(i), kinds[i]));
    data_ = "Секретное сообщение";
    for (int i = 0; i < 5000; ++i) data_ += static_cast<char>(i * 13 + 1);
    test::WriteFile(dir_ / "data.bin", data_);
  }

  Bytes EncryptHere(size_t count) {
    CRYPT_ENCRYPT_MESSAGE_PARA para;
    para.ContentEncryptionAlgorithm.pszObjId = szOID_CP_GOST_28147;
    std::vector<PCCERT_CONTEXT> recipients;
    for (size_t i = 0; i < count; ++i) recipients.push_back(parties_[i].cert);
    Bytes out;
    EXPECT_TRUE(CryptEncryptMessage(para, recipients, data_, &out)) << std::hex << GetLastError();
    return out;
  }

  Bytes EncryptByOpenssl(size_t count, bool stream) {
    std::string certs;
    for (size_t i = 0; i < count; ++i) certs += " " + parties_[i].cert_pem;
    EXPECT_EQ(test::Run("openssl cms -engine gost -encrypt -gost89 -binary -outform DER" +
                        std::string(stream ? " -stream" : "") + " -in " + dir_ / "data.bin" + " -out " +
                        dir_ / "theirs.p7m" + certs),
              0);
    return test::ReadFile(dir_ / "theirs.p7m");
  }

  HCRYPTMSG Decode(const Bytes& blob) {
    HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    EXPECT_TRUE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size()), true))
        << std::hex << GetLastError();
    return msg;
  }

  CMSG_CTRL_DECRYPT_PARA DecryptPara(const test::Party& p, DWORD index) {
    CMSG_CTRL_DECRYPT_PARA para;
    bool caller_free = false;
    EXPECT_TRUE(CryptAcquireCertificatePrivateKey(p.cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &para.hCryptProv,
                                                  &para.dwKeySpec, &caller_free));
    para.dwRecipientIndex = index;
    return para;
  }

  test::TempDir dir_;
  test::ScopedPlatformRoot root_{dir_.path()};
  test::Issued ca_;
  std::vector<test::Party> parties_;
  Bytes data_;
};

TEST_F(EnvelopedMsgTest, OpensslDecryptsForEachRecipientOfAMessageMadeHere) {
  for (size_t count : {1u, 3u}) {
    test::WriteFile(dir_ / "ours.p7m", EncryptHere(count));
    for (size_t i = 0; i < count; ++i) {
      SCOPED_TRACE(std::to_string(count) + " recipients, recipient " + std::to_string(i));
      std::remove((dir_ / "out.bin").c_str());
      EXPECT_EQ(test::Run("openssl cms -engine gost -decrypt -binary -inform DER -in " + dir_ / "ours.p7m" +
                          " -recip " + parties_[i].cert_pem + " -inkey " + parties_[i].key_pem + " -out " +
                          dir_ / "out.bin"),
                0);
      EXPECT_TRUE(test::ReadFile(dir_ / "out.bin") == data_);
    }
  }
}

TEST_F(EnvelopedMsgTest, DecodesRecipientsAndDecryptsForEachIndex) {
  for (bool ours : {false, true}) {
    for (size_t count : {1u, 3u}) {
      SCOPED_TRACE(std::string(ours ? "ours, " : "openssl's, ") + std::to_string(count));
      const Bytes blob = ours ? EncryptHere(count) : EncryptByOpenssl(count, false);
      for (size_t p = 0; p < count; ++p) {
        HCRYPTMSG msg = Decode(blob);
        // Ours keeps the given order; openssl's DER sorts the recipients.
        size_t i = p;
        if (!ours) {
          for (DWORD k = 0; k < count; ++k) {
            CERT_INFO probe;
            ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_RECIPIENT_INFO_PARAM, k, &probe));
            if (probe.SerialNumber == parties_[p].cert->Info().SerialNumber) i = k;
          }
        }
        DWORD type = 0, recipients = 0;
        ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_TYPE_PARAM, 0, &type));
        ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_RECIPIENT_COUNT_PARAM, 0, &recipients));
        EXPECT_EQ(type, CMSG_ENVELOPED);
        ASSERT_EQ(recipients, count);
        CERT_INFO id;
        ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_RECIPIENT_INFO_PARAM, static_cast<DWORD>(i), &id));
        EXPECT_EQ(id.Issuer, parties_[p].cert->Info().Issuer);
        EXPECT_EQ(id.SerialNumber, parties_[p].cert->Info().SerialNumber);
        CRYPT_ALGORITHM_IDENTIFIER alg;
        ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, &alg));
        EXPECT_EQ(alg.pszObjId, szOID_CP_GOST_28147);

        Bytes content;
        EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, &content));
        EXPECT_EQ(GetLastError(), CRYPT_E_NOT_DECRYPTED);
        ASSERT_TRUE(CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, DecryptPara(parties_[p], static_cast<DWORD>(i))))
            << std::hex << GetLastError();
        ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, &content));
        EXPECT_TRUE(content == data_);
        EXPECT_FALSE(CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, DecryptPara(parties_[p], static_cast<DWORD>(i))));
        EXPECT_EQ(GetLastError(), CRYPT_E_ALREADY_DECRYPTED);
      }
    }
  }
}

TEST_F(EnvelopedMsgTest, WrongKeySpecAnswersNoKeyAndTheExchangeKeyThenDecrypts) {
  const Bytes blob = EncryptHere(1);
  HCRYPTMSG msg = Decode(blob);
  CMSG_CTRL_DECRYPT_PARA para = DecryptPara(parties_[0], 0);
  for (DWORD wrong : {DWORD{0}, AT_SIGNATURE}) {
    para.dwKeySpec = wrong;
    EXPECT_FALSE(CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, para));
    EXPECT_EQ(GetLastError(), NTE_NO_KEY) << wrong;
  }
  para.dwKeySpec = AT_KEYEXCHANGE;
  EXPECT_TRUE(CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, para)) << std::hex << GetLastError();
}

TEST_F(EnvelopedMsgTest, AnotherRecipientsKeyOrIndexNeverYieldsContent) {
  const Bytes blob = EncryptHere(2);
  HCRYPTMSG msg = Decode(blob);
  // Recipient 1's key against recipient 0's wrapped key.
  EXPECT_FALSE(CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, DecryptPara(parties_[1], 0)));
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_FALSE(CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, DecryptPara(parties_[1], 2)));
  EXPECT_EQ(GetLastError(), CRYPT_E_INVALID_INDEX);
  Bytes content;
  EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, &content));
  EXPECT_EQ(GetLastError(), CRYPT_E_NOT_DECRYPTED);
}

TEST_F(EnvelopedMsgTest, StreamedIndefiniteLengthMessageDecryptsOnceTheAlgorithmIsKnown) {
  Bytes big;
  for (int i = 0; i < 300000; ++i) big += static_cast<char>((i * 31) ^ (i >> 9));
  data_ = big;
  test::WriteFile(dir_ / "data.bin", data_);
  const Bytes blob = EncryptByOpenssl(2, true);
  ASSERT_EQ(static_cast<BYTE>(blob[1]), 0x80) << "openssl -stream gives an indefinite length";
  for (size_t chunk : {size_t{1}, size_t{7}, size_t{16384}}) {
    SCOPED_TRACE(chunk);
    Bytes output;
    int finals = 0;
    CMSG_STREAM_INFO stream;
    stream.pfnStreamOutput = [&](const BYTE* data, DWORD size, bool final) {
      output.append(reinterpret_cast<const char*>(data), size);
      finals += final ? 1 : 0;
      return true;
    };
    HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, &stream);
    bool started = false;
    int not_ready = 0;
    for (size_t pos = 0; pos < blob.size(); pos += chunk) {
      const size_t n = std::min(chunk, blob.size() - pos);
      ASSERT_TRUE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(blob.data() + pos), static_cast<DWORD>(n),
                                 pos + n == blob.size()))
          << std::hex << GetLastError();
      if (started) continue;
      CRYPT_ALGORITHM_IDENTIFIER alg;
      if (!CryptMsgGetParam(msg, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, &alg)) {
        ASSERT_EQ(GetLastError(), CRYPT_E_STREAM_MSG_NOT_READY);
        EXPECT_FALSE(CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, DecryptPara(parties_[1], 1)));
        EXPECT_EQ(GetLastError(), CRYPT_E_STREAM_MSG_NOT_READY);
        ++not_ready;
        continue;
      }
      ASSERT_TRUE(CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, DecryptPara(parties_[1], 1)))
          << std::hex << GetLastError();
      started = true;
    }
    EXPECT_TRUE(started);
    if (chunk < 100) {
      EXPECT_GT(not_ready, 0);
    }
    EXPECT_EQ(finals, 1);
    EXPECT_TRUE(output == data_) << output.size() << " of " << data_.size();
  }
}

// Key agreement, the form Bouncy Castle writes: every kind of key decrypts
// through the agreement control (the legacy parameters see no key-transport
// recipient), while an originator point of the wrong length or off the
// curve and a wrapped key one byte short are refused before the provider.
TEST_F(EnvelopedMsgTest, KeyAgreementForEveryKindOfKeyAndDamagedOnesFailCleanly) {
  Bytes env;
  size_t at = 0;
  const auto read = [&](BYTE* out, size_t size) {
    const size_t n = std::min(size, data_.size() - at);
    std::copy_n(data_.data() + at, n, out);
    at += n;
    return n;
  };
  const auto write = [&](const BYTE* piece, DWORD size, bool) {
    env.append(reinterpret_cast<const char*>(piece), size);
    return true;
  };
  ASSERT_TRUE(EncodeKeyAgreeEnvelope({parties_[0].cert, parties_[1].cert, parties_[2].cert}, data_.size(), read, write));
  for (const test::Party& party : parties_) {
    HCRYPTMSG msg = Decode(env);
    DWORD legacy = 9, all = 0;
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_RECIPIENT_COUNT_PARAM, 0, &legacy));
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CMS_RECIPIENT_COUNT_PARAM, 0, &all));
    EXPECT_EQ(legacy, 0u);
    ASSERT_EQ(all, 3u);
    CMSG_CTRL_KEY_AGREE_DECRYPT_PARA para;
    for (DWORD i = 0; i < all; ++i) {
      CMSG_CMS_RECIPIENT_INFO info;
      ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CMS_RECIPIENT_INFO_PARAM, i, &info));
      ASSERT_EQ(info.dwRecipientChoice, CMSG_KEY_AGREE_RECIPIENT);
      if (info.KeyAgree.rgRecipientEncryptedKeys.at(0).RecipientId.SerialNumber != party.cert->Info().SerialNumber)
        continue;
      para.dwRecipientIndex = i;
      para.OriginatorPublicKey = info.KeyAgree.OriginatorPublicKeyInfo.PublicKey;
    }
    bool caller_free = false;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(party.cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &para.hCryptProv,
                                                  &para.dwKeySpec, &caller_free));
    ber::Reader octets(para.OriginatorPublicKey.pbData);
    ber::Element element;
    ASSERT_TRUE(octets.Expect(ber::kOctetString, &element));
    const Bytes point(element.content);
    CMSG_CTRL_KEY_AGREE_DECRYPT_PARA bad = para;
    bad.OriginatorPublicKey.pbData = ber::Wrap(ber::kOctetString, point.substr(1));
    EXPECT_FALSE(CryptMsgControl(msg, 0, CMSG_CTRL_KEY_AGREE_DECRYPT, bad));
    EXPECT_EQ(GetLastError(), NTE_BAD_PUBLIC_KEY);
    Bytes off_curve = point;
    off_curve[5] = static_cast<char>(off_curve[5] ^ 1);
    bad.OriginatorPublicKey.pbData = ber::Wrap(ber::kOctetString, off_curve);
    EXPECT_FALSE(CryptMsgControl(msg, 0, CMSG_CTRL_KEY_AGREE_DECRYPT, bad));
    ASSERT_TRUE(CryptMsgControl(msg, 0, CMSG_CTRL_KEY_AGREE_DECRYPT, para)) << std::hex << GetLastError();
    Bytes content;
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, &content));
    EXPECT_EQ(content, data_);
  }
  // Gost28147-89-EncryptedKey { OCTET STRING (32), OCTET STRING (4) } with
  // its key one byte short (the byte left over stands where the MAC was).
  const size_t key = env.find(std::string("\x04\x2A\x30\x28\x04\x20", 6));
  ASSERT_NE(key, std::string::npos);
  env[key + 5] = '\x1F';
  for (const test::Party& party : parties_) {
    HCRYPTMSG msg = Decode(env);
    CMSG_CMS_RECIPIENT_INFO info;
    CMSG_CTRL_KEY_AGREE_DECRYPT_PARA para;
    bool caller_free = false;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(party.cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &para.hCryptProv,
                                                  &para.dwKeySpec, &caller_free));
    for (DWORD i = 0; i < 3; ++i) {
      ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CMS_RECIPIENT_INFO_PARAM, i, &info));
      para.dwRecipientIndex = i;
      if (info.KeyAgree.rgRecipientEncryptedKeys.at(0).RecipientId.SerialNumber == party.cert->Info().SerialNumber)
        break;
    }
    const bool damaged = info.KeyAgree.rgRecipientEncryptedKeys[0].EncryptedKey[3] == '\x1F';
    const bool decrypted = CryptMsgControl(msg, 0, CMSG_CTRL_KEY_AGREE_DECRYPT, para);
    EXPECT_EQ(decrypted, !damaged);
    if (damaged) {
      EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
    }
  }
}

}  // namespace
}  // namespace zuntar
