#include "crypto/decoded_messages.h"

#include <algorithm>

#include "core/text.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "crypto/cert_lookup.h"
#include "crypto/certificate_key.h"
#include "crypto/crypt_exceptions.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/cert/cert_name.h"
#include "platform/capi/msg/crypt_msg_simple.h"

namespace zuntar {
namespace {

const BYTE* Data(const Bytes& bytes) { return reinterpret_cast<const BYTE*>(bytes.data()); }
DWORD Size(const Bytes& bytes) { return static_cast<DWORD>(bytes.size()); }

std::string WithoutBlanks(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  return text;
}

// The signer's certificate from the look-up hook, for the verify calls.
PCCERT_CONTEXT CertificateFromHook(const CERT_INFO& signer_id, const HCERTSTORE& /*message_certs*/) {
  const CertificateLookupFunc hook = CertificateLookupHook();
  if (hook == nullptr || signer_id.SerialNumber.empty()) return nullptr;
  return hook(SerialHex(signer_id.SerialNumber));
}

// A signature check: good, bad, or raised. A signer whose certificate the
// message lacks is checked again with the look-up hook's certificate.
template <typename Verify>
bool CheckSignature(Verify verify) {
  CRYPT_VERIFY_MESSAGE_PARA para;
  para.dwMsgAndCertEncodingType = kMsgEncoding;
  if (verify(para)) return true;
  if (GetLastError() == CRYPT_E_NOT_FOUND) {
    para.pfnGetSignerCertificate = CertificateFromHook;
    if (verify(para)) return true;
  }
  ThrowIfFalse(GetLastError() == NTE_BAD_SIGNATURE);
  return false;
}

// Decrypts for the recipient; a key spec of 0 that names no key is tried
// again as the exchange key. 0 or the failure code.
DWORD DecryptIndex(const HCRYPTMSG& msg, const HCRYPTPROV& prov, DWORD key_spec, const EnvelopeRecipient& recipient) {
  DWORD code = DecryptEnvelopeRecipient(msg, recipient, prov, key_spec);
  if (code == NTE_NO_KEY && key_spec == 0) code = DecryptEnvelopeRecipient(msg, recipient, prov, AT_KEYEXCHANGE);
  return code;
}

}  // namespace

// ---- Signatures -------------------------------------------------------------------

TDecodedSignedMessage::TDecodedSignedMessage(DWORD length, const BYTE* bytes)
    : TDecodedSignedCryptoMessage(length, false, bytes), encoded_(reinterpret_cast<const char*>(bytes), length) {}

TDecodedSignedMessage::TDecodedSignedMessage(const Bytes& bytes) : TDecodedSignedMessage(Size(bytes), Data(bytes)) {}

bool TDecodedSignedMessage::VerifySigner(DWORD i) {
  return CheckSignature([&](const CRYPT_VERIFY_MESSAGE_PARA& para) {
    return CryptVerifyMessageSignature(para, i, Data(encoded_), Size(encoded_), nullptr, nullptr);
  });
}

TDecodedDetachedSignature::TDecodedDetachedSignature(DWORD length, const BYTE* bytes)
    : TDecodedSignedCryptoMessage(length, true, bytes), encoded_(reinterpret_cast<const char*>(bytes), length) {}

TDecodedDetachedSignature::TDecodedDetachedSignature(const Bytes& bytes)
    : TDecodedDetachedSignature(Size(bytes), Data(bytes)) {}

bool TDecodedDetachedSignature::VerifyDetachedSigner(DWORD i, DWORD data_length, const BYTE* data) {
  const BYTE* parts[] = {data};
  const DWORD sizes[] = {data_length};
  return CheckSignature([&](const CRYPT_VERIFY_MESSAGE_PARA& para) {
    return CryptVerifyDetachedMessageSignature(para, i, Data(encoded_), Size(encoded_), 1, parts, sizes, nullptr);
  });
}

// ---- Enveloped messages ---------------------------------------------------------------

TDecodedEnvelopedMessage::TDecodedEnvelopedMessage(DWORD length, const BYTE* bytes)
    : TDecodedCryptoMessage(length, false, bytes), encoded_length_(length) {}

TDecodedEnvelopedMessage::TDecodedEnvelopedMessage(const Bytes& bytes)
    : TDecodedEnvelopedMessage(Size(bytes), Data(bytes)) {}

DWORD TDecodedEnvelopedMessage::RecipientCount() {
  if (!recipients_) {
    std::vector<EnvelopeRecipient> recipients;
    ThrowIfFalse(EnvelopeRecipients(msg_, recipients));
    recipients_ = std::move(recipients);
  }
  return static_cast<DWORD>(recipients_->size());
}

const EnvelopeRecipient& TDecodedEnvelopedMessage::Recipient(DWORD i) {
  if (i >= RecipientCount()) throw CryptError(CRYPT_E_INVALID_INDEX);
  return (*recipients_)[i];
}

std::string TDecodedEnvelopedMessage::RecipientSerial(DWORD i) { return SerialHex(RecipientId(i).SerialNumber, true); }

std::string TDecodedEnvelopedMessage::RecipientDescription(DWORD i) {
  const CERT_INFO id = RecipientId(i);
  const std::string serial = SerialHex(id.SerialNumber, true);
  if (id.Issuer.empty()) return serial;
  char buffer[2048];
  const DWORD written = CertNameToStrA(kMsgEncoding, id.Issuer, CERT_X500_NAME_STR, buffer, sizeof buffer);
  std::string issuer(buffer, std::min<DWORD>(written, sizeof buffer));
  issuer.erase(std::remove(issuer.begin(), issuer.end(), '\0'), issuer.end());
  if (issuer.empty()) return serial;
  return "SN: " + serial + AnsiFromUtf8(", Издатель: ") + issuer;
}

PCCERT_CONTEXT TDecodedEnvelopedMessage::FindRecipientCert(DWORD i, const HCERTSTORE& store) {
  const CERT_INFO id = RecipientId(i);
  for (PCCERT_CONTEXT c = CertFindCertificateInStore(store, kMsgEncoding, 0, CERT_FIND_SUBJECT_CERT, &id, nullptr);
       c != nullptr; c = CertFindCertificateInStore(store, kMsgEncoding, 0, CERT_FIND_SUBJECT_CERT, &id, c)) {
    if (TryAcquireKey(c, 0)) return c;
  }
  return nullptr;
}

void TDecodedEnvelopedMessage::DecryptRecipient(DWORD i, const PCCERT_CONTEXT& cert) {
  const CertificateKey key = AcquireKeyOrThrow(cert, CRYPT_ACQUIRE_CACHE_FLAG);
  const DWORD code =
      i < RecipientCount() ? DecryptIndex(msg_, key.prov, key.key_spec, (*recipients_)[i]) : CRYPT_E_INVALID_INDEX;
  if (code != 0) throw CryptError(code);
}

void TDecodedEnvelopedMessage::DecryptFor(const PCCERT_CONTEXT& cert) {
  const DWORD count = RecipientCount();
  if (count <= 1) return DecryptRecipient(0, cert);
  const CertificateKey key = AcquireKeyOrThrow(cert, CRYPT_ACQUIRE_CACHE_FLAG, [] { throw LastWin32Error(); });
  const std::string target = CertSerialHex(cert);
  DWORD last_error = 0;
  for (DWORD i = 0; i < count; ++i) {
    if (!SameText(WithoutBlanks(RecipientSerial(i)), target)) continue;
    last_error = DecryptIndex(msg_, key.prov, key.key_spec, (*recipients_)[i]);
    if (last_error == 0) return;
  }
  throw Exception(AnsiFromUtf8("Ошибка при расшифровке криптографического сообщения:") + std::to_string(last_error) +
                  " " + SysErrorMessage(last_error));
}

}  // namespace zuntar
