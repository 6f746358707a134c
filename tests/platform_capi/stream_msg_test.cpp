// Streamed signing and checking in chunks, and decoding of damaged input.
#include <gtest/gtest.h>

#include <random>

#include "platform/capi/base/error_codes.h"
#include "platform/capi/msg/crypt_msg.h"
#include "platform/capi/msg/crypt_msg_simple.h"
#include "support/msg_fixture.h"

namespace zuntar {
namespace {

constexpr size_t kChunk = 16384;

// Feeds data in chunks of kChunk; a short chunk is the final one, so an
// input of whole chunks ends with an empty final update. Answers the number
// of updates made.
int FeedInChunks(const HCRYPTMSG& msg, const Bytes& data, size_t chunk = kChunk) {
  int updates = 0;
  for (size_t pos = 0;; pos += chunk) {
    const size_t n = std::min(chunk, data.size() - pos);
    ++updates;
    EXPECT_TRUE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(data.data() + pos), static_cast<DWORD>(n), n < chunk))
        << std::hex << GetLastError() << " at " << pos;
    if (n < chunk) return updates;
  }
}

class StreamMsgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ca_ = test::MakeCa();
    signer_ = test::MakeParty(dir_, ca_, "streamer", GostKeyKind::k2012_256);
    test::WritePem(dir_ / "ca.pem", ca_.der);
  }

  static Bytes Data(size_t size) {
    Bytes data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
    return data;
  }

  // Streamed signature of data; cb_content as given to the encoder.
  Bytes StreamSign(const Bytes& data, bool detached, DWORD cb_content, int* updates = nullptr) {
    CMSG_SIGNER_ENCODE_INFO signer;
    EXPECT_TRUE(SignerForCertificate(signer_.cert, "1.2.643.7.1.1.3.2", &signer));
    CMSG_SIGNED_ENCODE_INFO info;
    info.rgSigners = {signer};
    info.rgCertEncoded = {signer_.issued.der};
    Bytes out;
    int finals = 0;
    CMSG_STREAM_INFO stream;
    stream.cbContent = cb_content;
    stream.pfnStreamOutput = [&](const BYTE* p, DWORD n, bool final) {
      out.append(reinterpret_cast<const char*>(p), n);
      finals += final ? 1 : 0;
      return true;
    };
    HCRYPTMSG msg = CryptMsgOpenToEncode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, detached ? CMSG_DETACHED_FLAG : 0,
                                         CMSG_SIGNED, info, nullptr, &stream);
    EXPECT_NE(msg, nullptr);
    const int n = FeedInChunks(msg, data);
    if (updates != nullptr) *updates = n;
    EXPECT_EQ(finals, 1);
    return out;
  }

  int OpensslVerifies(const Bytes& blob, const Bytes& data, bool detached) {
    test::WriteFile(dir_ / "sig.p7s", blob);
    test::WriteFile(dir_ / "data.bin", data);
    std::remove((dir_ / "out.bin").c_str());
    const int rc = test::Run("openssl cms -engine gost -verify -binary -inform DER -in " + dir_ / "sig.p7s" +
                             (detached ? " -content " + dir_ / "data.bin" : "") + " -CAfile " + dir_ / "ca.pem" +
                             " -out " + dir_ / "out.bin");
    if (rc == 0) {
      EXPECT_TRUE(test::ReadFile(dir_ / "out.bin") == data);
    }
    return rc;
  }

  // Streams the signature (and then the detached data) through a decoder
  // and checks the signer against the certificate.
  DWORD StreamVerify(const Bytes& blob, const Bytes* detached_data, Bytes* content, size_t chunk = kChunk) {
    CMSG_STREAM_INFO stream;
    stream.cbContent = static_cast<DWORD>(blob.size());
    stream.pfnStreamOutput = [&](const BYTE* p, DWORD n, bool) {
      content->append(reinterpret_cast<const char*>(p), n);
      return true;
    };
    HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                         detached_data != nullptr ? CMSG_DETACHED_FLAG : 0, 0, 0, nullptr, &stream);
    FeedInChunks(msg, blob, chunk);
    if (detached_data != nullptr) FeedInChunks(msg, *detached_data, chunk);
    if (CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE, &signer_.cert->Info())) return 0;
    return GetLastError();
  }

  test::TempDir dir_;
  test::ScopedPlatformRoot root_{dir_.path()};
  test::Issued ca_;
  test::Party signer_;
};

TEST_F(StreamMsgTest, StreamedSignaturesOfEveryFormVerifyWithOpensslAndHere) {
  const Bytes data = Data(3 * kChunk + 1000);
  struct Case {
    const char* name;
    bool detached;
    DWORD cb_content;
  } cases[] = {{"attached, known length", false, static_cast<DWORD>(data.size())},
               {"attached, indefinite length", false, CMSG_INDEFINITE_LENGTH},
               {"detached", true, CMSG_INDEFINITE_LENGTH}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes blob = StreamSign(data, c.detached, c.cb_content);
    EXPECT_EQ(OpensslVerifies(blob, data, c.detached), 0);
    for (size_t chunk : {size_t{1000}, kChunk}) {
      Bytes content;
      EXPECT_EQ(StreamVerify(blob, c.detached ? &data : nullptr, &content, chunk), 0u);
      EXPECT_TRUE(content == (c.detached ? Bytes() : data)) << content.size();
    }
    Bytes tampered = data;
    tampered[kChunk + 5] ^= 0x20;
    if (c.detached) {
      Bytes content;
      EXPECT_EQ(StreamVerify(blob, &tampered, &content), NTE_BAD_SIGNATURE);
    }
  }
  // Streamed and one-call signatures have the same form when the length is
  // known: both DER.
  const Bytes known = StreamSign(data, false, static_cast<DWORD>(data.size()));
  EXPECT_NE(static_cast<BYTE>(known[1]), 0x80);
}

TEST_F(StreamMsgTest, InputOfWholeChunksEndsWithAnEmptyFinalUpdate) {
  const Bytes data = Data(kChunk);
  int updates = 0;
  const Bytes blob = StreamSign(data, true, CMSG_INDEFINITE_LENGTH, &updates);
  EXPECT_EQ(updates, 2);
  EXPECT_EQ(OpensslVerifies(blob, data, true), 0);
  Bytes content;
  EXPECT_EQ(StreamVerify(blob, &data, &content), 0u);
}

TEST_F(StreamMsgTest, OpensslStreamedSignatureDecodesByteByByte) {
  const Bytes data = Data(40000);
  test::WriteFile(dir_ / "data.bin", data);
  ASSERT_EQ(test::Run("openssl cms -engine gost -sign -stream -nodetach -binary -outform DER -in " + dir_ / "data.bin" +
                      " -signer " + signer_.cert_pem + " -inkey " + signer_.key_pem + " -out " + dir_ / "s.p7s"),
            0);
  const Bytes blob = test::ReadFile(dir_ / "s.p7s");
  ASSERT_EQ(static_cast<BYTE>(blob[1]), 0x80);
  for (size_t chunk : {size_t{1}, size_t{4096}}) {
    Bytes content;
    EXPECT_EQ(StreamVerify(blob, nullptr, &content, chunk), 0u);
    EXPECT_TRUE(content == data);
  }
}

TEST_F(StreamMsgTest, BytesAfterTheMessageAreAMessageError) {
  CRYPT_SIGN_MESSAGE_PARA para;
  para.pSigningCert = signer_.cert;
  para.HashAlgorithm.pszObjId = "1.2.643.7.1.1.3.2";
  para.rgpMsgCert = {signer_.cert};
  Bytes blob;
  ASSERT_TRUE(CryptSignMessage(para, false, {"content"}, &blob));
  HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
  const Bytes padded = blob + Bytes(100, '\0');
  EXPECT_FALSE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(padded.data()), static_cast<DWORD>(padded.size()), true));
  EXPECT_EQ(GetLastError(), CRYPT_E_MSG_ERROR);
}

// Every prefix, random damage and random noise: the decoder answers, never
// crashes, and never reports a damaged signature as good.
TEST_F(StreamMsgTest, DamagedMessagesFailCleanly) {
  CRYPT_SIGN_MESSAGE_PARA para;
  para.pSigningCert = signer_.cert;
  para.HashAlgorithm.pszObjId = "1.2.643.7.1.1.3.2";
  para.rgpMsgCert = {signer_.cert};
  para.rgAuthAttr.push_back({szOID_RSA_signingTime, {Bytes("\x17\x0D") + "261207120001Z"}});
  Bytes signed_blob;
  ASSERT_TRUE(CryptSignMessage(para, false, {Data(300)}, &signed_blob));
  CRYPT_ENCRYPT_MESSAGE_PARA enc;
  enc.ContentEncryptionAlgorithm.pszObjId = szOID_CP_GOST_28147;
  Bytes enveloped;
  ASSERT_TRUE(CryptEncryptMessage(enc, {signer_.cert}, Data(300), &enveloped));

  auto decode = [&](const Bytes& input) {
    HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    const bool ok =
        CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(input.data()), static_cast<DWORD>(input.size()), true);
    DWORD n = 0;
    CryptMsgGetParam(msg, CMSG_SIGNER_COUNT_PARAM, 0, &n);
    CryptMsgGetParam(msg, CMSG_RECIPIENT_COUNT_PARAM, 0, &n);
    const bool verified = ok && CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE, &signer_.cert->Info());
    if (ok) {
      CMSG_CTRL_DECRYPT_PARA para;
      bool caller_free = false;
      CryptAcquireCertificatePrivateKey(signer_.cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &para.hCryptProv,
                                        &para.dwKeySpec, &caller_free);
      CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, para);
    }
    return std::make_pair(ok, verified);
  };
  for (const Bytes* blob : {&signed_blob, &enveloped}) {
    for (size_t len = 0; len < blob->size(); ++len) EXPECT_FALSE(decode(blob->substr(0, len)).first) << len;
    std::mt19937 rng(7);
    for (int i = 0; i < 300; ++i) {
      Bytes damaged = *blob;
      const size_t at = rng() % damaged.size();
      damaged[at] = static_cast<char>(damaged[at] ^ (1 + rng() % 255));
      const auto [ok, verified] = decode(damaged);
      (void)ok;
      // The signed parts: the content, the signed attributes and the value.
      const size_t content_at = signed_blob.find(Data(300));
      const bool in_content = at >= content_at && at < content_at + 300;
      const bool in_signature_or_attributes = at >= signed_blob.size() - 64 - 2 - 14 - 100;
      if (blob == &signed_blob && (in_content || in_signature_or_attributes)) {
        EXPECT_FALSE(verified) << "byte " << at;
      }
    }
  }
  std::mt19937 rng(11);
  for (int i = 0; i < 300; ++i) {
    Bytes noise(rng() % 200, '\0');
    for (char& ch : noise) ch = static_cast<char>(rng());
    if (i % 2 == 0 && !noise.empty()) noise[0] = 0x30;
    EXPECT_FALSE(decode(noise).second);
  }
}

}  // namespace
}  // namespace zuntar
