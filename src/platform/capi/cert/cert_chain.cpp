#include "platform/capi/cert/cert_chain.h"

#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <map>

#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/ossl.h"

namespace zuntar {

namespace {

// What the verifier complained about, per depth (0 = end certificate).
struct Findings {
  std::map<int, DWORD> element_errors;
  DWORD chain_errors = 0;
};

DWORD BitsOf(int error) {
  switch (error) {
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return CERT_TRUST_IS_NOT_TIME_VALID;
    case X509_V_ERR_CERT_REVOKED:
      return CERT_TRUST_IS_REVOKED;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
      return CERT_TRUST_IS_NOT_SIGNATURE_VALID;
    case X509_V_ERR_INVALID_PURPOSE:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
    case X509_V_ERR_KEYUSAGE_NO_CRL_SIGN:
    case X509_V_ERR_KEYUSAGE_NO_DIGITAL_SIGNATURE:
      return CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return CERT_TRUST_IS_UNTRUSTED_ROOT;
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_NOT_YET_VALID:
      // No usable list at hand: unknown, and unknown for want of fetching.
      return CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
    case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
    case X509_V_ERR_DIFFERENT_CRL_SCOPE:
    case X509_V_ERR_UNHANDLED_CRITICAL_CRL_EXTENSION:
      return CERT_TRUST_REVOCATION_STATUS_UNKNOWN;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
    case X509_V_ERR_INVALID_NON_CA:
      return CERT_TRUST_INVALID_BASIC_CONSTRAINTS;
    case X509_V_ERR_INVALID_POLICY_EXTENSION:
    case X509_V_ERR_NO_EXPLICIT_POLICY:
      return CERT_TRUST_INVALID_POLICY_CONSTRAINTS;
    case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
      return CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT;
    case X509_V_ERR_PERMITTED_VIOLATION:
    case X509_V_ERR_EXCLUDED_VIOLATION:
    case X509_V_ERR_SUBTREE_MINMAX:
    case X509_V_ERR_UNSUPPORTED_CONSTRAINT_TYPE:
    case X509_V_ERR_UNSUPPORTED_CONSTRAINT_SYNTAX:
    case X509_V_ERR_UNSUPPORTED_NAME_SYNTAX:
      return CERT_TRUST_INVALID_NAME_CONSTRAINTS;
    default:
      // Anything else the verifier refuses is a flaw of the certificate's
      // content; it must never pass as a clean chain.
      return CERT_TRUST_INVALID_EXTENSION;
  }
}

bool IsPartialChain(int error) {
  return error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT || error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
         error == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE;
}

int Collect(int ok, X509_STORE_CTX* ctx) {
  if (ok == 1) return 1;
  auto* findings = static_cast<Findings*>(X509_STORE_CTX_get_app_data(ctx));
  const int error = X509_STORE_CTX_get_error(ctx);
  if (IsPartialChain(error))
    findings->chain_errors |= CERT_TRUST_IS_PARTIAL_CHAIN;
  else
    findings->element_errors[X509_STORE_CTX_get_error_depth(ctx)] |= BitsOf(error);
  return 1;  // go on: every problem of the chain is wanted, not only the first
}

// Certificates of the stores of both locations.
void AddSystemStore(const char* name, const std::vector<HCERTSTORE>& extra, std::vector<PCCERT_CONTEXT>* certs,
                    std::vector<PCCRL_CONTEXT>* crls) {
  std::vector<HCERTSTORE> stores = extra;
  for (DWORD location : {CERT_SYSTEM_STORE_CURRENT_USER, CERT_SYSTEM_STORE_LOCAL_MACHINE})
    if (HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                     location | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG, name))
      stores.push_back(s);
  for (const HCERTSTORE& s : stores) {
    if (s == nullptr) continue;
    for (const PCCERT_CONTEXT& c : s->Certificates()) certs->push_back(c);
    if (crls != nullptr)
      for (const PCCRL_CONTEXT& c : s->Crls()) crls->push_back(c);
  }
}

ossl::X509StackPtr ToStack(const std::vector<PCCERT_CONTEXT>& certs) {
  ossl::X509StackPtr stack(sk_X509_new_null());
  for (const PCCERT_CONTEXT& c : certs) {
    X509_up_ref(c->Certificate());
    sk_X509_push(stack.get(), c->Certificate());
  }
  return stack;
}

bool SelfSigned(X509* cert) { return X509_check_issued(cert, cert) == X509_V_OK; }

// A certificate valid before its issuer or after it.
bool OutsideIssuerPeriod(X509* cert, X509* issuer) {
  return ASN1_TIME_compare(X509_get0_notBefore(cert), X509_get0_notBefore(issuer)) < 0 ||
         ASN1_TIME_compare(X509_get0_notAfter(cert), X509_get0_notAfter(issuer)) > 0;
}

// Marks every certificate of the built chain that is not time nested in
// its issuer's period.
void MarkNesting(STACK_OF(X509)* built, Findings* findings) {
  const int count = built != nullptr ? sk_X509_num(built) : 0;
  for (int depth = 0; depth + 1 < count; ++depth)
    if (OutsideIssuerPeriod(sk_X509_value(built, depth), sk_X509_value(built, depth + 1)))
      findings->element_errors[depth] |= CERT_TRUST_IS_NOT_TIME_NESTED;
}

// The verifier takes no issuer twice, so a chain of certificates that
// certify each other stops with its issuer missing: the last certificate
// was issued by one already in the chain.
bool EndsInACycle(STACK_OF(X509)* built) {
  const int count = built != nullptr ? sk_X509_num(built) : 0;
  if (count < 2) return false;
  X509* top = sk_X509_value(built, count - 1);
  if (SelfSigned(top)) return false;
  for (int depth = 0; depth + 1 < count; ++depth)
    if (X509_check_issued(sk_X509_value(built, depth), top) == X509_V_OK) return true;
  return false;
}

// What the verifier says after a run that recorded nothing through the
// callback: a chain it could not examine.
DWORD UnexaminedChainError(int error) {
  return error == X509_V_ERR_OUT_OF_MEM ? ERROR_NOT_ENOUGH_MEMORY : NTE_FAIL;
}

}  // namespace

bool CertCreateCertificateChainEngine(const CERT_CHAIN_ENGINE_CONFIG& config, HCERTCHAINENGINE* engine) {
  if (engine == nullptr || config.cbSize < 40) return Fail(E_INVALIDARG);
  *engine = std::make_shared<CertChainEngine>(config);
  return true;
}

bool CertFreeCertificateChainEngine(HCERTCHAINENGINE& engine) {
  engine.reset();
  return true;
}

void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT& chain) { chain.reset(); }

bool CertGetCertificateChain(const HCERTCHAINENGINE& engine, const PCCERT_CONTEXT& cert, const FILETIME* time,
                             const HCERTSTORE& additional_store, const CERT_CHAIN_PARA& /*para*/, DWORD flags,
                             void* /*reserved*/, PCCERT_CHAIN_CONTEXT* chain) {
  if (cert == nullptr || chain == nullptr) return Fail(E_INVALIDARG);
  ossl::EnsureGostEngine();
  const CERT_CHAIN_ENGINE_CONFIG config = engine != nullptr ? engine->config() : CERT_CHAIN_ENGINE_CONFIG();
  std::vector<HCERTSTORE> extra = config.rghAdditionalStore;
  if (additional_store != nullptr) extra.push_back(additional_store);

  std::vector<PCCERT_CONTEXT> roots, others;
  std::vector<PCCRL_CONTEXT> crls;
  if (config.hRestrictedRoot != nullptr)
    roots = config.hRestrictedRoot->Certificates();
  else
    AddSystemStore("ROOT", {}, &roots, nullptr);
  AddSystemStore("CA", extra, &others, &crls);
  AddSystemStore("MY", {}, &others, nullptr);

  ossl::X509StorePtr trusted(X509_STORE_new());
  for (const PCCERT_CONTEXT& r : roots) X509_STORE_add_cert(trusted.get(), r->Certificate());
  ossl::X509StackPtr untrusted = ToStack(others);
  ossl::CrlStackPtr crl_stack(sk_X509_CRL_new_null());
  for (const PCCRL_CONTEXT& c : crls) {
    X509_CRL_up_ref(c->Crl());
    sk_X509_CRL_push(crl_stack.get(), c->Crl());
  }

  ossl::X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (ctx == nullptr || X509_STORE_CTX_init(ctx.get(), trusted.get(), cert->Certificate(), untrusted.get()) != 1) {
    ossl::ClearErrors();
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  X509_STORE_CTX_set0_crls(ctx.get(), crl_stack.get());
  unsigned long vflags = 0;
  const bool check_revocation = (flags & (CERT_CHAIN_REVOCATION_CHECK_END_CERT | CERT_CHAIN_REVOCATION_CHECK_CHAIN |
                                          CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT)) != 0;
  if (check_revocation) vflags |= X509_V_FLAG_CRL_CHECK;
  if (flags & (CERT_CHAIN_REVOCATION_CHECK_CHAIN | CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT))
    vflags |= X509_V_FLAG_CRL_CHECK_ALL;
  X509_STORE_CTX_set_flags(ctx.get(), vflags);
  if (time != nullptr) X509_STORE_CTX_set_time(ctx.get(), 0, static_cast<time_t>(UnixFromFileTime(*time)));
  Findings findings;
  X509_STORE_CTX_set_app_data(ctx.get(), &findings);
  X509_STORE_CTX_set_verify_cb(ctx.get(), Collect);
  const int verified = X509_verify_cert(ctx.get());
  ossl::ClearErrors();
  if (verified != 1 && findings.element_errors.empty() && findings.chain_errors == 0)
    return Fail(UnexaminedChainError(X509_STORE_CTX_get_error(ctx.get())));

  STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx.get());
  MarkNesting(built, &findings);
  if ((findings.chain_errors & CERT_TRUST_IS_PARTIAL_CHAIN) != 0 && EndsInACycle(built))
    findings.chain_errors = (findings.chain_errors & ~CERT_TRUST_IS_PARTIAL_CHAIN) | CERT_TRUST_IS_CYCLIC;

  auto result = std::make_shared<CERT_CHAIN_CONTEXT>();
  CERT_SIMPLE_CHAIN simple;
  const int count = built != nullptr ? sk_X509_num(built) : 0;
  for (int depth = 0; depth < count; ++depth) {
    X509* x = sk_X509_value(built, depth);
    CERT_CHAIN_ELEMENT element;
    element.pCertContext = depth == 0 ? cert : CertCreateCertificateContext(X509_ASN_ENCODING, ossl::ToDer(i2d_X509, x));
    DWORD errors = findings.element_errors.count(depth) > 0 ? findings.element_errors[depth] : 0;
    const bool root = depth == count - 1 && SelfSigned(x);
    if (root) {
      element.TrustStatus.dwInfoStatus |= CERT_TRUST_IS_SELF_SIGNED;
      // Nobody revokes a root: its missing CRL says nothing.
      errors &= ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    }
    element.TrustStatus.dwErrorStatus = errors;
    simple.TrustStatus.dwErrorStatus |= errors;
    simple.rgpElement.push_back(std::move(element));
  }
  if (count == 0) simple.rgpElement.push_back({cert, {}});
  simple.TrustStatus.dwErrorStatus |= findings.chain_errors;
  result->TrustStatus = simple.TrustStatus;
  result->rgpChain.push_back(std::move(simple));
  *chain = std::move(result);
  SetLastError(0);
  return true;
}

}  // namespace zuntar
