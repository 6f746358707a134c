#include "crypto/crypt_message.h"

#include "crypto/cert_identity.h"
#include "crypto/cert_lookup.h"
#include "crypto/crypt_exceptions.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/msg/crypt_msg_simple.h"
#include "platform/capi/msg/signing_time.h"

namespace zuntar {
namespace {

// Codes with which the platform says that a message carries no such
// certificate.
constexpr DWORD kProcNotFound = 127;
bool NoSuchCertificate(DWORD code) {
  return code == 0 || code == ERROR_FILE_NOT_FOUND || code == kProcNotFound || code == CRYPT_E_INVALID_INDEX;
}

// FILETIME of 1970-01-01 00:00 UTC and its units per second.
constexpr int64_t kUnixEpochFileTime = 116444736000000000;
constexpr int64_t kFileTimeUnitsPerSecond = 10000000;

}  // namespace

DWORD RoundUpBuffer(DWORD n) { return (n & ~DWORD{0xFF}) + 256; }

Bytes CallWithGrowth(DWORD initial, const BufferCall& call) {
  Bytes buffer(initial, '\0');
  DWORD size = initial;
  if (!call(reinterpret_cast<BYTE*>(buffer.data()), &size)) {
    ThrowIfFalse(GetLastError() == ERROR_MORE_DATA);
    const DWORD grown = RoundUpBuffer(size + 512);
    buffer.assign(grown, '\0');
    size = grown;
    ThrowIfFalse(call(reinterpret_cast<BYTE*>(buffer.data()), &size));
  }
  buffer.resize(size);
  return buffer;
}

const Bytes& TCryptoMessage::Content() {
  if (!content_) {
    content_ = CallWithGrowth(InitialContentSize(), [this](BYTE* buffer, DWORD* size) {
      return CryptMsgGetParam(msg_, CMSG_CONTENT_PARAM, 0, buffer, size);
    });
  }
  return *content_;
}

Bytes TCryptoMessage::TakeContent() {
  Content();
  Bytes taken = std::move(*content_);
  content_.reset();
  return taken;
}

void TCryptoMessage::Update(const BYTE* bytes, DWORD length) {
  ThrowIfFalse(CryptMsgUpdate(msg_, bytes, length, true));
}

DWORD TCryptoMessage::CertCount() {
  DWORD count = 0;
  ThrowIfFalse(CryptMsgGetParam(msg_, CMSG_CERT_COUNT_PARAM, 0, &count));
  return count;
}

Bytes TCryptoMessage::CertBytes(DWORD i) {
  DWORD size = 0;
  ThrowIfFalse(CryptMsgGetParam(msg_, CMSG_CERT_PARAM, i, nullptr, &size));
  Bytes der(size, '\0');
  ThrowIfFalse(CryptMsgGetParam(msg_, CMSG_CERT_PARAM, i, reinterpret_cast<BYTE*>(der.data()), &size));
  der.resize(size);
  return der;
}

PCCERT_CONTEXT TCryptoMessage::Certificate(DWORD i) {
  DWORD size = 0;
  if (!CryptMsgGetParam(msg_, CMSG_CERT_PARAM, i, nullptr, &size)) {
    const DWORD code = GetLastError();
    if (NoSuchCertificate(code)) return SignerCertFromHook(i);
    throw CryptError(code);
  }
  return DecodeCertificate(CertBytes(i));
}

PCCERT_CONTEXT TCryptoMessage::SignerCertFromHook(DWORD i) {
  CERT_INFO id;
  ThrowIfFalse(CryptMsgGetParam(msg_, CMSG_SIGNER_CERT_INFO_PARAM, i, &id));
  const CertificateLookupFunc hook = CertificateLookupHook();
  return hook != nullptr ? hook(SerialHex(id.SerialNumber)) : nullptr;
}

TDecodedCryptoMessage::TDecodedCryptoMessage(DWORD length, bool detached, const BYTE* bytes) {
  msg_ = CryptMsgOpenToDecode(kMsgEncoding, detached ? CMSG_DETACHED_FLAG : 0, 0, 0, nullptr, nullptr);
  ThrowIfFalse(msg_ != nullptr);
  Update(bytes, length);
}

TDecodedSignedCryptoMessage::TDecodedSignedCryptoMessage(DWORD length, bool detached, const BYTE* bytes)
    : TDecodedCryptoMessage(length, detached, bytes), encoded_length_(length) {}

DWORD TDecodedSignedCryptoMessage::SignerCount() {
  DWORD count = 0;
  ThrowIfFalse(CryptMsgGetParam(msg_, CMSG_SIGNER_COUNT_PARAM, 0, &count));
  return count;
}

int64_t TDecodedSignedCryptoMessage::SigningTime(DWORD i) {
  CRYPT_ATTRIBUTES attrs;
  if (!CryptMsgGetParam(msg_, CMSG_SIGNER_AUTH_ATTR_PARAM, i, &attrs)) {
    ThrowIfFalse(GetLastError() == CRYPT_E_ATTRIBUTES_MISSING);
    return 0;
  }
  for (const CRYPT_ATTRIBUTE& a : attrs.rgAttr) {
    if (a.pszObjId != szOID_RSA_signingTime) continue;
    if (a.rgValue.empty()) return 0;
    FILETIME ft = 0;
    const Bytes& value = a.rgValue[0];
    if (!CryptDecodeObject(kMsgEncoding, szOID_RSA_signingTime, reinterpret_cast<const BYTE*>(value.data()),
                           static_cast<DWORD>(value.size()), 0, &ft))
      return 0;
    return (static_cast<int64_t>(ft) - kUnixEpochFileTime) / kFileTimeUnitsPerSecond;
  }
  return 0;
}

CERT_INFO TDecodedSignedCryptoMessage::SignerId(DWORD i) {
  CERT_INFO id;
  ThrowIfFalse(CryptMsgGetParam(msg_, CMSG_SIGNER_CERT_INFO_PARAM, i, &id));
  return id;
}

PCCERT_CONTEXT TDecodedSignedCryptoMessage::SignerCertificate(DWORD i) {
  const CERT_INFO id = SignerId(i);
  if (!id.Issuer.empty()) {
    const HCERTSTORE certs = MessageCertificateStore(msg_);
    if (PCCERT_CONTEXT own = CertFindCertificateInStore(certs, kMsgEncoding, 0, CERT_FIND_SUBJECT_CERT, &id, nullptr))
      return own;
  }
  const CertificateLookupFunc hook = CertificateLookupHook();
  return hook != nullptr && !id.SerialNumber.empty() ? hook(SerialHex(id.SerialNumber)) : nullptr;
}

}  // namespace zuntar
