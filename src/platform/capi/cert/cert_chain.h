// Certificate chains: a chain engine over OpenSSL's verifier with the
// system stores, reporting the CryptoAPI's trust-status bits.
//
// Trusted roots come from the "ROOT" stores, intermediate certificates from
// the "CA" and "MY" stores (current user and local machine, plus any
// additional store), CRLs from the "CA" stores and the additional store.
// The stores are read at each call, so a CRL imported a moment ago counts.
#pragma once

#include <memory>
#include <vector>

#include "platform/capi/cert/cert_store.h"

namespace zuntar {

// ---- Error-status bits -----------------------------------------------------------
constexpr DWORD CERT_TRUST_NO_ERROR = 0x00000000;
constexpr DWORD CERT_TRUST_IS_NOT_TIME_VALID = 0x00000001;
constexpr DWORD CERT_TRUST_IS_NOT_TIME_NESTED = 0x00000002;
constexpr DWORD CERT_TRUST_IS_REVOKED = 0x00000004;
constexpr DWORD CERT_TRUST_IS_NOT_SIGNATURE_VALID = 0x00000008;
constexpr DWORD CERT_TRUST_IS_NOT_VALID_FOR_USAGE = 0x00000010;
constexpr DWORD CERT_TRUST_IS_UNTRUSTED_ROOT = 0x00000020;
constexpr DWORD CERT_TRUST_REVOCATION_STATUS_UNKNOWN = 0x00000040;
constexpr DWORD CERT_TRUST_IS_CYCLIC = 0x00000080;
constexpr DWORD CERT_TRUST_INVALID_EXTENSION = 0x00000100;
constexpr DWORD CERT_TRUST_INVALID_POLICY_CONSTRAINTS = 0x00000200;
constexpr DWORD CERT_TRUST_INVALID_BASIC_CONSTRAINTS = 0x00000400;
constexpr DWORD CERT_TRUST_INVALID_NAME_CONSTRAINTS = 0x00000800;
constexpr DWORD CERT_TRUST_IS_PARTIAL_CHAIN = 0x00010000;
constexpr DWORD CERT_TRUST_CTL_IS_NOT_TIME_VALID = 0x00020000;
constexpr DWORD CERT_TRUST_CTL_IS_NOT_SIGNATURE_VALID = 0x00040000;
constexpr DWORD CERT_TRUST_CTL_IS_NOT_VALID_FOR_USAGE = 0x00080000;
constexpr DWORD CERT_TRUST_IS_OFFLINE_REVOCATION = 0x01000000;
constexpr DWORD CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT = 0x08000000;

// ---- Info-status bits ---------------------------------------------------------------
constexpr DWORD CERT_TRUST_HAS_NAME_MATCH_ISSUER = 0x00000004;
constexpr DWORD CERT_TRUST_IS_SELF_SIGNED = 0x00000008;

// ---- Flags of CertGetCertificateChain ----------------------------------------------
constexpr DWORD CERT_CHAIN_CACHE_END_CERT = 0x00000001;
constexpr DWORD CERT_CHAIN_REVOCATION_CHECK_END_CERT = 0x10000000;
constexpr DWORD CERT_CHAIN_REVOCATION_CHECK_CHAIN = 0x20000000;
constexpr DWORD CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT = 0x40000000;

struct CERT_CHAIN_ENGINE_CONFIG {
  DWORD cbSize = 40;
  HCERTSTORE hRestrictedRoot;  // null: the "ROOT" stores
  HCERTSTORE hRestrictedTrust;
  HCERTSTORE hRestrictedOther;
  std::vector<HCERTSTORE> rghAdditionalStore;
  DWORD dwFlags = 0;
  DWORD dwUrlRetrievalTimeout = 0;  // nothing is fetched from the network
  DWORD MaximumCachedCertificates = 0;
  DWORD CycleDetectionModulus = 0;
};

class CertChainEngine {
 public:
  explicit CertChainEngine(CERT_CHAIN_ENGINE_CONFIG config) : config_(std::move(config)) {}
  const CERT_CHAIN_ENGINE_CONFIG& config() const { return config_; }

 private:
  CERT_CHAIN_ENGINE_CONFIG config_;
};
using HCERTCHAINENGINE = std::shared_ptr<CertChainEngine>;

struct CERT_CHAIN_PARA {
  DWORD cbSize = 40;
};

struct CERT_TRUST_STATUS {
  DWORD dwErrorStatus = 0;
  DWORD dwInfoStatus = 0;
};

struct CERT_CHAIN_ELEMENT {
  PCCERT_CONTEXT pCertContext;
  CERT_TRUST_STATUS TrustStatus;
};

// End certificate first, root (or the last certificate found) last.
struct CERT_SIMPLE_CHAIN {
  CERT_TRUST_STATUS TrustStatus;
  std::vector<CERT_CHAIN_ELEMENT> rgpElement;
};

struct CERT_CHAIN_CONTEXT {
  CERT_TRUST_STATUS TrustStatus;
  std::vector<CERT_SIMPLE_CHAIN> rgpChain;
};
using PCCERT_CHAIN_CONTEXT = std::shared_ptr<const CERT_CHAIN_CONTEXT>;

bool CertCreateCertificateChainEngine(const CERT_CHAIN_ENGINE_CONFIG& config, HCERTCHAINENGINE* engine);
bool CertFreeCertificateChainEngine(HCERTCHAINENGINE& engine);

// A null engine is the default one (the system stores); a null time is
// now. Succeeds whenever a chain could be examined: its problems are in the
// trust status, not in the answer. A verifier that gives up without naming
// a problem of the chain makes the call fail (NTE_FAIL, or
// ERROR_NOT_ENOUGH_MEMORY), so such a chain never reads as clean.
//
// Beyond the verifier's own findings: a certificate whose validity period
// lies not wholly inside its issuer's is not time nested; a chain that
// stops at a certificate issued by one already in the chain is cyclic
// rather than partial.
bool CertGetCertificateChain(const HCERTCHAINENGINE& engine, const PCCERT_CONTEXT& cert, const FILETIME* time,
                             const HCERTSTORE& additional_store, const CERT_CHAIN_PARA& para, DWORD flags,
                             void* reserved, PCCERT_CHAIN_CONTEXT* chain);
void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT& chain);

}  // namespace zuntar
