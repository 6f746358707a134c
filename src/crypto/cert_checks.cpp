#include "crypto/cert_checks.h"

#include <utility>
#include <vector>

#include "certs/cert_text.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "crypto/crypt_exceptions.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/cert/cert_chain.h"

namespace zuntar {
namespace {

std::string IntegrityText() { return AnsiFromUtf8("Нарушена целостность ЭП !"); }

// A signer's signing time; a signer whose attributes cannot be read has
// none.
int64_t SigningTimeOrNone(TDecodedSignedCryptoMessage& message, DWORD i) {
  try {
    return message.SigningTime(i);
  } catch (const std::exception&) {
    return 0;
  }
}

bool IsCertificateOf(const PCCERT_CONTEXT& cert, const CERT_INFO& signer) {
  return !signer.Issuer.empty() && CertCompareCertificateName(kMsgEncoding, signer.Issuer, cert->Info().Issuer) &&
         CertCompareIntegerBlob(signer.SerialNumber, cert->Info().SerialNumber);
}

// Every certificate of the message, each with the signing time of the
// signer it belongs to, else with the first signer's.
void ListMessageCertificates(TDecodedSignedCryptoMessage& message, const std::vector<int64_t>& times,
                             TStringList& list) {
  std::vector<CERT_INFO> signers;
  for (DWORD i = 0; i < times.size(); ++i) signers.push_back(message.SignerId(i));
  const DWORD count = message.CertCount();
  for (DWORD j = 0; j < count; ++j) {
    const Bytes body = message.CertBytes(j);
    int64_t time = times.empty() ? 0 : times[0];
    if (const PCCERT_CONTEXT cert = DecodeCertificate(body)) {
      for (size_t i = 0; i < signers.size(); ++i)
        if (IsCertificateOf(cert, signers[i])) {
          time = times[i];
          break;
        }
    }
    list.AddObject(body, time);
  }
}

}  // namespace

void AppendErrorLine(std::string& error_text, const std::string& line) {
  if (!error_text.empty()) error_text += "\r\n";
  error_text += line;
}

uint32_t CheckValidityAt(const PCCERT_CONTEXT& cert, DateTime at, std::string& error_text) {
  uint32_t code = 0;
  if (FileTimeToDateTime(cert->Info().NotBefore) > at) {
    code = kCheckNotTimeValid;
    AppendErrorLine(error_text, AnsiFromUtf8("Время действия сертификата еще не наступило !"));
  }
  if (at > FileTimeToDateTime(cert->Info().NotAfter)) {
    code = kCheckNotTimeValid;
    AppendErrorLine(error_text, AnsiFromUtf8("Время действия сертификата уже завершилось !"));
  }
  return code;
}

uint32_t ChainErrorCode(DWORD e) {
  if (e == CERT_TRUST_NO_ERROR) return 0;
  static const std::pair<DWORD, uint32_t> kOrder[] = {
      {CERT_TRUST_IS_PARTIAL_CHAIN, kCheckPartialChain},
      {CERT_TRUST_IS_NOT_TIME_VALID, kCheckNotTimeValid},
      {CERT_TRUST_IS_NOT_TIME_NESTED, kCheckNotTimeValid},
      {CERT_TRUST_IS_UNTRUSTED_ROOT, kCheckUntrustedRoot},
      {CERT_TRUST_IS_REVOKED, kCheckRevoked},
      {CERT_TRUST_IS_NOT_SIGNATURE_VALID, kCheckPartialChain},
      {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, kCheckNotValidForUsage},
      {CERT_TRUST_IS_CYCLIC | CERT_TRUST_INVALID_EXTENSION, kCheckCyclicOrExtension},
      {CERT_TRUST_CTL_IS_NOT_TIME_VALID, kCheckCtlNotTimeValid},
      {CERT_TRUST_CTL_IS_NOT_SIGNATURE_VALID | CERT_TRUST_CTL_IS_NOT_VALID_FOR_USAGE, kCheckCtlInvalid},
  };
  for (const auto& [bits, code] : kOrder)
    if ((e & bits) != 0) return code;
  return kCheckFailed;
}

uint32_t CheckSignatures(TDecodedSignedCryptoMessage& message, const std::function<bool(DWORD)>& verify,
                         const SignatureCheckRules& rules, DateTime check_time, TStringList* cert_list,
                         std::string& error_text) {
  error_text.clear();
  const DWORD signers = message.SignerCount();
  // A message that no one signed proves nothing about its content.
  uint32_t code = signers == 0 ? kCheckIntegrityViolated : 0;
  DWORD failure = 0;
  for (DWORD i = 0; i < signers; ++i) {
    if (verify(i)) continue;
    code = kCheckIntegrityViolated;
    failure = GetLastError();
  }
  std::vector<int64_t> times;
  for (DWORD i = 0; i < signers; ++i) times.push_back(SigningTimeOrNone(message, i));
  if (code != 0) {
    error_text = IntegrityText();
    if (rules.with_error_code && failure != 0)
      error_text += AnsiFromUtf8(". Код ошибки: ") + std::to_string(failure);
    if (cert_list != nullptr) ListMessageCertificates(message, times, *cert_list);
    return code;
  }
  const DateTime now = UtcNow();
  for (DWORD i = 0; i < signers; ++i) {
    // A signature found good had its certificate at hand.
    const PCCERT_CONTEXT cert = message.SignerCertificate(i);
    if (cert == nullptr) throw CryptError(CRYPT_E_NOT_FOUND);
    DateTime at = check_time;
    if (at == 0) at = rules.at_signing_time && times[i] > 0 ? DateTimeFromUnixSeconds(times[i]) : now;
    if (CheckValidityAt(cert, at, error_text) != 0) code = kCheckNotTimeValid;
    if (cert_list != nullptr) cert_list->AddObject(CertBodyOf(cert), times[i]);
  }
  return code;
}

void ListSignerCertificates(TDecodedSignedCryptoMessage& message, TStringList& list) {
  const DWORD signers = message.SignerCount();
  for (DWORD i = 0; i < signers; ++i)
    if (const PCCERT_CONTEXT cert = message.SignerCertificate(i))
      list.AddObject(CertBodyOf(cert), SigningTimeOrNone(message, i));
}

}  // namespace zuntar
