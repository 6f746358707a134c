#include "crypto/stream_messages.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <vector>

#include "crypto/cert_identity.h"
#include "crypto/certificate_key.h"
#include "crypto/crypt_exceptions.h"
#include "crypto/encoded_messages.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/msg/content_info.h"
#include "platform/capi/msg/envelope_recipients.h"

namespace zuntar {
namespace {

// Reads the stream from its start in chunks through one buffer and hands
// each to `feed` with `final` set on the short one, so an input of whole
// chunks ends with an empty final chunk. `feed` answers whether to go on.
template <typename Feed>
void ForEachChunk(TStream& input, Feed feed) {
  std::vector<BYTE> buffer(kStreamChunk);
  input.SetPosition(0);
  while (true) {
    const DWORD n = static_cast<DWORD>(input.Read(buffer.data(), kStreamChunk));
    const bool final = n < kStreamChunk;
    if (!feed(buffer.data(), n, final) || final) return;
  }
}

// The content length a stream announces: its size, or indefinite beyond
// what the length field holds.
DWORD ContentLength(TStream& stream) {
  const uint64_t size = stream.Size();
  return size < CMSG_INDEFINITE_LENGTH ? static_cast<DWORD>(size) : CMSG_INDEFINITE_LENGTH;
}

// Output pieces go to the stream; true only when the whole piece was
// written.
PFN_CMSG_STREAM_OUTPUT WriterTo(TStream& output) {
  return [&output](const BYTE* data, DWORD size, bool) { return size == 0 || output.Write(data, size) == size; };
}

void UpdateOrRaise(const HCRYPTMSG& msg, const BYTE* data, DWORD size, bool final) {
  ThrowIfFalse(CryptMsgUpdate(msg, data, size, final));
}

// The bytes of a chunk that belong to the message when it is followed by
// something else: from the ContentInfo that starts the chunk, (length of
// the content type's OID text - 1) + length of the content, which is the
// whole encoding when both outer lengths take two bytes. A length that
// does not fit in the chunk keeps the whole chunk.
DWORD MessageBytesInChunk(const BYTE* chunk, DWORD size) {
  CRYPT_CONTENT_INFO info;
  if (!CryptDecodeObject(kMsgEncoding, PKCS_CONTENT_INFO, chunk, size, CRYPT_DECODE_NOCOPY_FLAG, &info)) return size;
  const uint64_t length = (info.pszObjId.size() - 1) + info.Content.size();
  return length > 0 && length <= size ? static_cast<DWORD>(length) : size;
}

// Feeds an encoded signature stream to a streaming decoder. When an update
// fails with CRYPT_E_MSG_ERROR (bytes after the message), the decoder is
// opened anew and given only the message's bytes of that chunk, after
// `restart` has undone what the first decoder output; a second failure
// raises.
void DecodeSignatureStream(HCRYPTMSG& msg, TStream& encoded, bool detached, const PFN_CMSG_STREAM_OUTPUT& output,
                           const std::function<void()>& restart) {
  CMSG_STREAM_INFO stream;
  stream.cbContent = ContentLength(encoded);
  stream.pfnStreamOutput = output;
  const DWORD flags = detached ? CMSG_DETACHED_FLAG : 0;
  auto open = [&] {
    msg = CryptMsgOpenToDecode(kMsgEncoding, flags, 0, 0, nullptr, &stream);
    ThrowIfFalse(msg != nullptr);
  };
  open();
  bool restarted = false;
  ForEachChunk(encoded, [&](const BYTE* chunk, DWORD size, bool final) {
    if (CryptMsgUpdate(msg, chunk, size, final)) return true;
    ThrowIfFalse(GetLastError() == CRYPT_E_MSG_ERROR && !restarted);
    restarted = true;
    const DWORD length = MessageBytesInChunk(chunk, size);
    msg.reset();  // the first decoder goes before its output is undone
    restart();
    open();
    const bool ends = length < kStreamChunk;
    UpdateOrRaise(msg, chunk, length, ends);
    return !ends;
  });
}

bool VerifyWithCertificate(TCryptoMessage& message, const HCRYPTMSG& msg, DWORD i) {
  PCCERT_CONTEXT cert = message.Certificate(i);
  if (cert == nullptr) throw CryptError(CRYPT_E_NOT_FOUND);
  const bool good = CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE, &cert->Info());
  CertFreeCertificateContext(cert);
  return good;
}

bool VerifyWithOwnCertificate(TDecodedSignedCryptoMessage& message, const HCRYPTMSG& msg, DWORD i) {
  CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para;
  para.dwSignerIndex = i;
  para.pvSigner = message.SignerCertificate(i);
  if (para.pvSigner == nullptr) throw CryptError(CRYPT_E_NOT_FOUND);
  return CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, para);
}

}  // namespace

TEncodedStreamSignedMessage::TEncodedStreamSignedMessage(TStream& input, bool detached, const PCCERT_CONTEXT& cert,
                                                         TStream& output) {
  if (cert == nullptr) throw CryptError(E_INVALIDARG);
  auto [prov, key_spec] = AcquireKeyOrThrow(cert, CRYPT_ACQUIRE_CACHE_FLAG);
  if (key_spec == 0) {
    HCRYPTKEY exchange;
    key_spec = CryptGetUserKey(prov, AT_KEYEXCHANGE, &exchange) ? AT_KEYEXCHANGE : AT_SIGNATURE;
  }
  CMSG_SIGNER_ENCODE_INFO signer;
  signer.pCertInfo = &cert->Info();
  signer.hCryptProv = prov;
  signer.dwKeySpec = key_spec;
  signer.HashAlgorithm.pszObjId = SigningHashOid(cert);
  CMSG_SIGNED_ENCODE_INFO info;
  info.rgSigners = {signer};
  info.rgCertEncoded = {cert->Encoded()};
  CMSG_STREAM_INFO stream;
  stream.cbContent = ContentLength(input);
  stream.pfnStreamOutput = WriterTo(output);
  msg_ = CryptMsgOpenToEncode(kMsgEncoding, detached ? CMSG_DETACHED_FLAG : 0, CMSG_SIGNED, info, nullptr, &stream);
  ThrowIfFalse(msg_ != nullptr);
  ForEachChunk(input, [this](const BYTE* chunk, DWORD size, bool final) {
    UpdateOrRaise(msg_, chunk, size, final);
    return true;
  });
}

TDecodedStreamEnvelopedMessage::TDecodedStreamEnvelopedMessage(TStream& input, const PCCERT_CONTEXT& cert,
                                                               TStream& output) {
  if (cert == nullptr) throw CryptError(E_INVALIDARG);
  const CertificateKey key = AcquireKeyOrThrow(cert, CRYPT_ACQUIRE_CACHE_FLAG);
  CMSG_STREAM_INFO stream;
  stream.cbContent = CMSG_INDEFINITE_LENGTH;
  stream.pfnStreamOutput = WriterTo(output);
  msg_ = CryptMsgOpenToDecode(kMsgEncoding, 0, 0, 0, nullptr, &stream);
  ThrowIfFalse(msg_ != nullptr);
  bool started = false;
  ForEachChunk(input, [&](const BYTE* chunk, DWORD size, bool final) {
    UpdateOrRaise(msg_, chunk, size, final);
    if (!started) started = StartDecryption(key.prov, key.key_spec, cert);
    return true;
  });
  // A message that ended before its content algorithm decrypted nothing.
  if (!started) throw CryptError(CRYPT_E_STREAM_INSUFFICIENT_DATA);
}

bool TDecodedStreamEnvelopedMessage::StartDecryption(const HCRYPTPROV& prov, DWORD key_spec,
                                                     const PCCERT_CONTEXT& cert) {
  CRYPT_ALGORITHM_IDENTIFIER algorithm;
  if (!CryptMsgGetParam(msg_, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, &algorithm)) {
    ThrowIfFalse(GetLastError() == CRYPT_E_STREAM_MSG_NOT_READY);
    return false;
  }
  std::vector<EnvelopeRecipient> recipients;
  ThrowIfFalse(EnvelopeRecipients(msg_, recipients));
  if (recipients.empty()) throw CryptError(CRYPT_E_INVALID_INDEX);
  const EnvelopeRecipient* chosen = &recipients[0];
  for (const EnvelopeRecipient& r : recipients) {
    if (CertCompareCertificateName(kMsgEncoding, r.id.Issuer, cert->Info().Issuer) &&
        CertCompareIntegerBlob(r.id.SerialNumber, cert->Info().SerialNumber)) {
      chosen = &r;
      break;
    }
  }
  if (DWORD code = DecryptEnvelopeRecipient(msg_, *chosen, prov, key_spec)) throw CryptError(code);
  return true;
}

TDecodedStreamDetachedSignature::TDecodedStreamDetachedSignature(TStream& data, TStream& signature) {
  DecodeSignatureStream(msg_, signature, true, [](const BYTE*, DWORD, bool) { return true; }, [] {});
  ForEachChunk(data, [this](const BYTE* chunk, DWORD size, bool final) {
    UpdateOrRaise(msg_, chunk, size, final);
    return true;
  });
}

bool TDecodedStreamDetachedSignature::VerifyWithCertificate(DWORD i) {
  return zuntar::VerifyWithCertificate(*this, msg_, i);
}

bool TDecodedStreamDetachedSignature::VerifySigner(DWORD i) { return VerifyWithOwnCertificate(*this, msg_, i); }

TDecodedStreamSignature::TDecodedStreamSignature(TStream& stream, TStream* content) {
  // The content a restarted decoder writes again replaces the first one's.
  const uint64_t start = content != nullptr ? content->Position() : 0;
  DecodeSignatureStream(
      msg_, stream, false,
      [content](const BYTE* data, DWORD size, bool) {
        if (content != nullptr && size > 0) content->Write(data, size);
        return true;
      },
      [content, start] {
        if (content != nullptr) content->SetPosition(start);
      });
}

bool TDecodedStreamSignature::VerifyWithCertificate(DWORD i) { return zuntar::VerifyWithCertificate(*this, msg_, i); }

bool TDecodedStreamSignature::VerifySigner(DWORD i) { return VerifyWithOwnCertificate(*this, msg_, i); }

}  // namespace zuntar
