// Streamed signing, checking and decryption in 16384-byte chunks.
#include <gtest/gtest.h>

#include "crypto/cert_identity.h"
#include "crypto/crypt_exceptions.h"
#include "crypto/encoded_messages.h"
#include "crypto/stream_messages.h"
#include "crypto_fixture.h"
#include "platform/capi/base/error_codes.h"

namespace zuntar {
namespace {

// A memory stream that writes down the size of every read.
class CountingStream : public TMemoryStream {
 public:
  using TMemoryStream::TMemoryStream;
  size_t Read(void* buffer, size_t count) override {
    const size_t n = TMemoryStream::Read(buffer, count);
    reads.push_back(n);
    return n;
  }
  std::vector<size_t> reads;
};

class StreamMessageTest : public test::CryptoTest {
 protected:
  Bytes StreamSign(const test::Party& p, const Bytes& data, bool detached, std::vector<size_t>* reads = nullptr) {
    CountingStream input(data);
    TMemoryStream output;
    TEncodedStreamSignedMessage(input, detached, p.cert, output);
    if (reads != nullptr) *reads = input.reads;
    return output.Data();
  }

  bool StreamVerify(const Bytes& signature, const Bytes* detached_data, Bytes* content = nullptr) {
    TMemoryStream encoded(signature);
    if (detached_data != nullptr) {
      TMemoryStream data(*detached_data);
      return TDecodedStreamDetachedSignature(data, encoded).VerifyWithCertificate(0);
    }
    TMemoryStream out;
    TDecodedStreamSignature decoded(encoded, &out);
    const bool good = decoded.VerifyWithCertificate(0);
    if (content != nullptr) *content = out.Data();
    return good;
  }
};

TEST_F(StreamMessageTest, AnInputOfWholeChunksEndsWithAnEmptyFinalChunk) {
  const test::Party p = Person("streamer");
  const Bytes data = Data(kStreamChunk);
  for (bool detached : {false, true}) {
    std::vector<size_t> reads;
    const Bytes signature = StreamSign(p, data, detached, &reads);
    EXPECT_EQ(reads, (std::vector<size_t>{kStreamChunk, 0}));
    EXPECT_TRUE(OpensslVerifies(signature, data, detached)) << detached;
    Bytes content;
    EXPECT_TRUE(StreamVerify(signature, detached ? &data : nullptr, &content));
    if (!detached) {
      EXPECT_TRUE(content == data);
    }
  }
  std::vector<size_t> reads;
  StreamSign(p, Data(kStreamChunk + 5), false, &reads);
  EXPECT_EQ(reads, (std::vector<size_t>{kStreamChunk, 5}));
}

TEST_F(StreamMessageTest, SignaturesOfEveryKindVerifyBothWays) {
  const Bytes data = Data(3 * kStreamChunk + 100);
  for (GostKeyKind kind : {GostKeyKind::k2012_256, GostKeyKind::k2012_512, GostKeyKind::k2001}) {
    const test::Party p = Person(std::string("s") + test::KindName(kind), kind);
    for (bool detached : {false, true}) {
      SCOPED_TRACE(std::string(test::KindName(kind)) + (detached ? " detached" : " attached"));
      const Bytes ours = StreamSign(p, data, detached);
      EXPECT_TRUE(OpensslVerifies(ours, data, detached));
      Bytes content;
      EXPECT_TRUE(StreamVerify(OpensslSigns(p, data, detached), detached ? &data : nullptr, &content));
      if (!detached) {
        EXPECT_TRUE(content == data);
      }
      Bytes tampered = data;
      tampered[kStreamChunk + 1] ^= 0x10;
      if (detached) {
        EXPECT_FALSE(StreamVerify(ours, &tampered));
      }
    }
  }
}

TEST_F(StreamMessageTest, BytesAfterTheSignatureRestartTheDecoderOnce) {
  const test::Party p = Person("tail");
  const Bytes data = Data(1000);
  // Small messages whose outer lengths take two bytes: the recovered
  // length is the whole message.
  const Bytes detached = StreamSign(p, data, true) + "\r\n";
  EXPECT_TRUE(StreamVerify(detached, &data));
  const Bytes attached = TEncodedSignedMessage(Len(data), 0, false, p.cert, Ptr(data)).Content();
  Bytes content;
  EXPECT_TRUE(StreamVerify(attached + Bytes(7, '\0'), nullptr, &content));
  EXPECT_TRUE(content == data);
  // Bytes after a message that fills more than one chunk are not
  // recoverable: the second failure raises.
  const Bytes big = Data(2 * kStreamChunk);
  const Bytes long_signature = StreamSign(p, big, false) + "xx";
  try {
    StreamVerify(long_signature, nullptr);
    ADD_FAILURE() << "no error";
  } catch (const ECryptError& e) {
    EXPECT_NE(e.ErrorCode(), 0u);
  }
  EXPECT_THROW(StreamVerify("not a message at all", nullptr), ECryptError);
}

TEST_F(StreamMessageTest, StreamedSignerPicksAKeySpecWhenTheProviderNamesNone) {
  const Bytes data = Data(500);
  for (DWORD stored_spec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
    const test::Party p =
        test::MakeParty(dir_, ca_, "keyspec" + std::to_string(stored_spec), GostKeyKind::k2012_256, stored_spec);
    HCRYPTPROV prov;
    DWORD key_spec = 0;
    bool caller_free = false;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(p.cert, 0, nullptr, &prov, &key_spec, &caller_free));
    p.cert->SetCachedKey(prov, 0);
    EXPECT_TRUE(OpensslVerifies(StreamSign(p, data, true), data, true)) << stored_spec;
  }
}

TEST_F(StreamMessageTest, StreamedDecryptionFindsTheCertificatesRecipient) {
  const test::Party a = Person("a");
  const test::Party b = Person("b", GostKeyKind::k2012_512);
  const Bytes data = Data(5 * kStreamChunk + 17);
  const Bytes ours = TEncodedEnvelopedMessage(Len(data), {a.cert, b.cert}, Ptr(data)).Content();
  for (const Bytes& message : {ours, OpensslEncrypts({&a, &b}, data, " -stream")}) {
    for (const test::Party* p : {&a, &b}) {
      TMemoryStream input(message), output;
      TDecodedStreamEnvelopedMessage(input, p->cert, output);
      EXPECT_TRUE(output.Data() == data);
    }
  }
  // A stranger's key is refused, and a message cut short decrypts nothing.
  const test::Party c = Person("c");
  TMemoryStream input(ours), output;
  EXPECT_THROW(TDecodedStreamEnvelopedMessage(input, c.cert, output), ECryptError);
  TMemoryStream cut(ours.substr(0, 40)), nothing;
  EXPECT_THROW(TDecodedStreamEnvelopedMessage(cut, a.cert, nothing), ECryptError);
}

TEST(Streams, MemoryAndFileStreamsReadWhatWasWritten) {
  TMemoryStream memory;
  EXPECT_EQ(memory.Write("abcdef", 6), 6u);
  memory.SetPosition(2);
  EXPECT_EQ(memory.Write("XY", 2), 2u);
  EXPECT_EQ(memory.Data(), "abXYef");
  memory.SetPosition(4);
  char buffer[8];
  EXPECT_EQ(memory.Read(buffer, sizeof buffer), 2u);
  EXPECT_EQ(memory.Read(buffer, sizeof buffer), 0u);
  test::TempDir dir;
  {
    TBufferedFileStream file(dir / "f.bin", TBufferedFileStream::Mode::kCreate);
    EXPECT_EQ(file.Write("0123456789", 10), 10u);
    EXPECT_EQ(file.Size(), 10u);
  }
  TBufferedFileStream file(dir / "f.bin", TBufferedFileStream::Mode::kRead);
  file.SetPosition(7);
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 3u);
  EXPECT_EQ(std::string(buffer, 3), "789");
  EXPECT_THROW(TBufferedFileStream(dir / "missing", TBufferedFileStream::Mode::kRead), EFOpenError);
  EXPECT_THROW(TBufferedFileStream(dir / "no/such/folder", TBufferedFileStream::Mode::kCreate), EFCreateError);
}

}  // namespace
}  // namespace zuntar
