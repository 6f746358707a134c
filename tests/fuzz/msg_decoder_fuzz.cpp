// Feeds arbitrary bytes to the message decoder whole and in pieces, asks it
// every question and checks every signer against every certificate found.
#include <cstddef>
#include <cstdint>

#include "platform/capi/msg/crypt_msg.h"
#include "platform/capi/msg/signing_time.h"

namespace zuntar {
namespace {

void Question(const HCRYPTMSG& msg) {
  DWORD count = 0, certs = 0;
  CryptMsgGetParam(msg, CMSG_TYPE_PARAM, 0, &count);
  CryptMsgGetParam(msg, CMSG_RECIPIENT_COUNT_PARAM, 0, &count);
  CRYPT_ALGORITHM_IDENTIFIER alg;
  CryptMsgGetParam(msg, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, &alg);
  for (DWORD i = 0; i < count && i < 8; ++i) {
    CERT_INFO id;
    CryptMsgGetParam(msg, CMSG_RECIPIENT_INFO_PARAM, i, &id);
  }
  DWORD all = 0;
  CryptMsgGetParam(msg, CMSG_CMS_RECIPIENT_COUNT_PARAM, 0, &all);
  for (DWORD i = 0; i < all && i < 8; ++i) {
    CMSG_CMS_RECIPIENT_INFO info;
    CryptMsgGetParam(msg, CMSG_CMS_RECIPIENT_INFO_PARAM, i, &info);
  }
  Bytes content;
  CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, &content);
  CryptMsgGetParam(msg, CMSG_CERT_COUNT_PARAM, 0, &certs);
  if (!CryptMsgGetParam(msg, CMSG_SIGNER_COUNT_PARAM, 0, &count)) return;
  for (DWORD s = 0; s < count && s < 4; ++s) {
    CRYPT_ATTRIBUTES attrs;
    if (CryptMsgGetParam(msg, CMSG_SIGNER_AUTH_ATTR_PARAM, s, &attrs))
      for (const CRYPT_ATTRIBUTE& a : attrs.rgAttr) {
        FILETIME ft = 0;
        if (!a.rgValue.empty()) DecodeSigningTime(a.rgValue[0], &ft);
      }
    for (DWORD c = 0; c < certs && c < 4; ++c) {
      Bytes der;
      if (!CryptMsgGetParam(msg, CMSG_CERT_PARAM, c, &der)) continue;
      if (PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der)) {
        CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para;
        para.dwSignerIndex = s;
        para.pvSigner = cert;
        CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, para);
        CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE, &cert->Info());
      }
    }
  }
}

}  // namespace
}  // namespace zuntar

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zuntar;
  if (size == 0) return 0;
  // The first byte picks the piece size and whether the message is detached.
  const size_t piece = 1 + data[0] % 64;
  const DWORD flags = (data[0] & 0x80) ? CMSG_DETACHED_FLAG : 0;
  ++data;
  --size;
  HCRYPTMSG whole = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, flags, 0, 0, nullptr, nullptr);
  if (CryptMsgUpdate(whole, data, static_cast<DWORD>(size), true)) {
    if (flags) CryptMsgUpdate(whole, data, static_cast<DWORD>(size / 2), true);
    Question(whole);
  }
  CMSG_STREAM_INFO stream;
  stream.pfnStreamOutput = [](const BYTE*, DWORD, bool) { return true; };
  HCRYPTMSG streamed = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, flags, 0, 0, nullptr, &stream);
  for (size_t pos = 0; pos < size; pos += piece) {
    const size_t n = pos + piece < size ? piece : size - pos;
    if (!CryptMsgUpdate(streamed, data + pos, static_cast<DWORD>(n), pos + n == size)) break;
    Question(streamed);
  }
  return 0;
}
