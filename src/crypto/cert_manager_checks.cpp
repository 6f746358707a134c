// The certificate manager's checks: signatures in memory and in streams,
// the certificates of a signature, and the chain check of a certificate.
#include <cmath>
#include <mutex>

#include "certs/cert_text.h"
#include "certs/os_error.h"
#include "crypto/cert_checks.h"
#include "crypto/cert_identity.h"
#include "crypto/cert_manager_csp.h"
#include "crypto/decoded_messages.h"
#include "crypto/stream_messages.h"
#include "platform/capi/cert/cert_chain.h"
#include "platform/capi/cert/cert_extensions.h"

namespace zuntar {

// The chain engine is made on the first chain check and kept for the
// manager's life; clones share it. The platform's chain calls are linked
// in, so there is nothing to look up before.
struct TVCertMgrCSP::ChainEngine {
  std::once_flag made;
  HCERTCHAINENGINE engine;  // null: the platform's default engine

  const HCERTCHAINENGINE& Get() {
    std::call_once(made, [this] {
      CERT_CHAIN_ENGINE_CONFIG config;
      config.dwFlags = 0x15;
      config.dwUrlRetrievalTimeout = 1;
      config.MaximumCachedCertificates = 10000;
      try {
        if (!CertCreateCertificateChainEngine(config, &engine)) engine.reset();
      } catch (const std::exception&) {
        engine.reset();
      }
    });
    return engine;
  }
};

TVCertMgrCSP::TVCertMgrCSP(uint8_t option) : TVCertMgr(option), chain_engine_(std::make_shared<ChainEngine>()) {}

namespace {

constexpr DWORD kChainFlags = CERT_CHAIN_REVOCATION_CHECK_CHAIN | CERT_CHAIN_CACHE_END_CERT;  // 0x20000001

// Days from 1601-01-01 to the program's day zero, and file-time units per
// day.
constexpr double kDaysFrom1601 = 109205;
constexpr double kFileTimeUnitsPerDay = 864000000000.0;

FILETIME FileTimeOf(DateTime utc) {
  const double units = std::round((utc + kDaysFrom1601) * kFileTimeUnitsPerDay);
  return units > 0 ? static_cast<FILETIME>(units) : 0;
}

constexpr SignatureCheckRules kAttached{false, false};
constexpr SignatureCheckRules kDetached{true, false};
constexpr SignatureCheckRules kDetachedStreams{true, true};

}  // namespace

uint32_t TVCertMgrCSP::VerifySigned(DataBuffer data, std::string& error_text, TStringList* cert_list,
                                    DateTime check_time) {
  error_text.clear();
  const DWORD length = DataLength(data);
  TDecodedSignedMessage message(length, data.data);
  return CheckSignatures(
      message, [&message](DWORD i) { return message.VerifySigner(i); }, kAttached, check_time, cert_list,
      error_text);
}

uint32_t TVCertMgrCSP::VerifyDetached(DataBuffer data, DataBuffer signature, TStringList* cert_list,
                                      DateTime check_time, std::string& error_text) {
  error_text.clear();
  const DWORD data_length = DataLength(data);
  const DWORD signature_length = DataLength(signature);
  TDecodedDetachedSignature message(signature_length, signature.data);
  return CheckSignatures(
      message, [&](DWORD i) { return message.VerifyDetachedSigner(i, data_length, data.data); }, kDetached,
      check_time, cert_list, error_text);
}

uint32_t TVCertMgrCSP::VerifyDetachedFiles(const std::string& data_file, const std::string& signature_file,
                                           TStringList* cert_list, DateTime check_time, std::string& error_text) {
  TBufferedFileStream data(data_file, TBufferedFileStream::Mode::kRead);
  TBufferedFileStream signature(signature_file, TBufferedFileStream::Mode::kRead);
  return VerifyDetachedStreams(data, signature, cert_list, check_time, error_text);
}

uint32_t TVCertMgrCSP::VerifyDetachedStreams(TStream& data, TStream& signature, TStringList* cert_list,
                                             DateTime check_time, std::string& error_text) {
  error_text.clear();
  TDecodedStreamDetachedSignature message(data, signature);
  return CheckSignatures(
      message, [&message](DWORD i) { return message.VerifySigner(i); }, kDetachedStreams, check_time, cert_list,
      error_text);
}

uint32_t TVCertMgrCSP::VerifySignedStream(TStream& stream, std::string& error_text, TStringList* cert_list,
                                          DateTime check_time) {
  return VerifySignedStreamContent(stream, nullptr, cert_list, check_time, error_text);
}

uint32_t TVCertMgrCSP::VerifySignedStreamContent(TStream& stream, TStream* content, TStringList* cert_list,
                                                 DateTime check_time, std::string& error_text) {
  error_text.clear();
  TDecodedStreamSignature message(stream, content);
  return CheckSignatures(
      message, [&message](DWORD i) { return message.VerifySigner(i); }, kAttached, check_time, cert_list,
      error_text);
}

bool TVCertMgrCSP::GetSignatureCerts(const Bytes& signature_body, TStringList& list) {
  list.Clear();
  try {
    TDecodedDetachedSignature message(signature_body);
    ListSignerCertificates(message, list);
  } catch (const std::exception&) {
    // What could be read stays listed.
  }
  return list.Count() > 0;
}

uint32_t TVCertMgrCSP::VerifyCertChain(const Bytes& cert_body, DateTime check_time) {
  const HCERTCHAINENGINE& engine = chain_engine_->Get();
  FILETIME at = 0;
  if (check_time != 0) at = FileTimeOf(check_time);
  const PCCERT_CONTEXT cert = DecodeCertificate(cert_body);
  if (cert == nullptr) throw LastWin32Error();
  PCCERT_CHAIN_CONTEXT chain;
  if (!CertGetCertificateChain(engine, cert, check_time != 0 ? &at : nullptr, nullptr, CERT_CHAIN_PARA(),
                               kChainFlags, nullptr, &chain))
    throw LastWin32Error();
  DWORD e = chain->TrustStatus.dwErrorStatus;
  CertFreeCertificateChain(chain);
  // A certificate valid at the time asked about stands, whatever the
  // chain's other certificates say about that time.
  if ((e & CERT_TRUST_IS_NOT_TIME_VALID) != 0 && check_time != 0 &&
      FileTimeToDateTime(cert->Info().NotBefore) < check_time && check_time < FileTimeToDateTime(cert->Info().NotAfter))
    e &= ~CERT_TRUST_IS_NOT_TIME_VALID;
  // Revocation lists nobody could fetch do not fail a chain.
  e &= ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
  if (e != CERT_TRUST_NO_ERROR) return ChainErrorCode(e);
  BYTE usage = 0;
  if (CertGetIntendedKeyUsage(kMsgEncoding, cert->Info(), &usage, 1) && (usage & CERT_DIGITAL_SIGNATURE_KEY_USAGE) == 0)
    return kCheckNotValidForUsage;
  return 0;
}

}  // namespace zuntar
