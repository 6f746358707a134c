#include "platform/crypto/cert/cert_builder.h"

#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include "platform/crypto/gost/gost_key_material.h"

namespace zuntar {
namespace {

int StringTypeFor(const std::string& oid) {
  static const char* const kNumeric[] = {"1.2.643.3.131.1.1", "1.2.643.100.4", "1.2.643.100.1",
                                         "1.2.643.100.5",     "1.2.643.100.3"};
  for (const char* n : kNumeric)
    if (oid == n) return V_ASN1_NUMERICSTRING;
  if (oid == "2.5.4.6") return V_ASN1_PRINTABLESTRING;
  if (oid == "1.2.840.113549.1.9.1") return V_ASN1_IA5STRING;
  return V_ASN1_UTF8STRING;
}

bool AddName(X509_NAME* name, const std::vector<NameAttribute>& attrs) {
  for (const NameAttribute& a : attrs) {
    ASN1_OBJECT* obj = OBJ_txt2obj(a.oid.c_str(), 1);
    if (obj == nullptr) return false;
    const int ok = X509_NAME_add_entry_by_OBJ(name, obj, StringTypeFor(a.oid),
                                              reinterpret_cast<const unsigned char*>(a.value.data()),
                                              static_cast<int>(a.value.size()), -1, 0);
    ASN1_OBJECT_free(obj);
    if (ok != 1) return false;
  }
  return true;
}

bool AddExtensionDer(X509* x, const std::string& oid, bool critical, const Bytes& value) {
  ASN1_OBJECT* obj = OBJ_txt2obj(oid.c_str(), 1);
  ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
  bool ok = obj != nullptr && data != nullptr &&
            ASN1_OCTET_STRING_set(data, ossl::Data(value), static_cast<int>(value.size())) == 1;
  X509_EXTENSION* ext = ok ? X509_EXTENSION_create_by_OBJ(nullptr, obj, critical ? 1 : 0, data) : nullptr;
  ok = ext != nullptr && X509_add_ext(x, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  ASN1_OCTET_STRING_free(data);
  ASN1_OBJECT_free(obj);
  return ok;
}

template <typename T>
bool AddExtension(X509* x, int nid, bool critical, T* value) {
  return X509_add1_ext_i2d(x, nid, value, critical ? 1 : 0, X509V3_ADD_DEFAULT) == 1;
}

ASN1_GENERALIZEDTIME* GeneralizedTime(int64_t seconds) {
  return ASN1_GENERALIZEDTIME_adj(nullptr, static_cast<time_t>(seconds), 0, 0);
}

bool AddStandardExtensions(X509* x, const CertRequest& r, X509* issuer) {
  BASIC_CONSTRAINTS* bc = BASIC_CONSTRAINTS_new();
  bc->ca = r.is_ca ? 0xFF : 0;
  bool ok = AddExtension(x, NID_basic_constraints, r.is_ca, bc);
  BASIC_CONSTRAINTS_free(bc);
  if (!ok) return false;

  if (r.key_usage) {
    ASN1_BIT_STRING* ku = ASN1_BIT_STRING_new();
    for (int bit = 0; bit < 8; ++bit)
      if (*r.key_usage & (0x80 >> bit)) ASN1_BIT_STRING_set_bit(ku, bit, 1);
    ok = AddExtension(x, NID_key_usage, true, ku);
    ASN1_BIT_STRING_free(ku);
    if (!ok) return false;
  }
  if (!r.extended_key_usage.empty()) {
    EXTENDED_KEY_USAGE* eku = sk_ASN1_OBJECT_new_null();
    for (const std::string& oid : r.extended_key_usage) sk_ASN1_OBJECT_push(eku, OBJ_txt2obj(oid.c_str(), 1));
    ok = AddExtension(x, NID_ext_key_usage, false, eku);
    sk_ASN1_OBJECT_pop_free(eku, ASN1_OBJECT_free);
    if (!ok) return false;
  }
  if (!r.policies.empty()) {
    CERTIFICATEPOLICIES* policies = sk_POLICYINFO_new_null();
    for (const std::string& oid : r.policies) {
      POLICYINFO* info = POLICYINFO_new();
      ASN1_OBJECT_free(info->policyid);
      info->policyid = OBJ_txt2obj(oid.c_str(), 1);
      sk_POLICYINFO_push(policies, info);
    }
    ok = AddExtension(x, NID_certificate_policies, false, policies);
    sk_POLICYINFO_pop_free(policies, POLICYINFO_free);
    if (!ok) return false;
  }
  if (r.private_key_usage_period) {
    PKEY_USAGE_PERIOD* period = PKEY_USAGE_PERIOD_new();
    period->notBefore = GeneralizedTime(r.private_key_usage_period->first);
    period->notAfter = GeneralizedTime(r.private_key_usage_period->second);
    ok = AddExtension(x, NID_private_key_usage_period, false, period);
    PKEY_USAGE_PERIOD_free(period);
    if (!ok) return false;
  }
  if (!r.subject_alt_other_names.empty()) {
    GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
    for (const NameAttribute& a : r.subject_alt_other_names) {
      ASN1_TYPE* value = ASN1_TYPE_new();
      ASN1_UTF8STRING* text = ASN1_UTF8STRING_new();
      ASN1_STRING_set(text, a.value.data(), static_cast<int>(a.value.size()));
      ASN1_TYPE_set(value, V_ASN1_UTF8STRING, text);
      GENERAL_NAME* gn = GENERAL_NAME_new();
      GENERAL_NAME_set0_othername(gn, OBJ_txt2obj(a.oid.c_str(), 1), value);
      sk_GENERAL_NAME_push(names, gn);
    }
    ok = AddExtension(x, NID_subject_alt_name, false, names);
    GENERAL_NAMES_free(names);
    if (!ok) return false;
  }
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer != nullptr ? issuer : x, x, nullptr, nullptr, 0);
  X509_EXTENSION* ski = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_key_identifier, "hash");
  if (ski != nullptr) {
    X509_add_ext(x, ski, -1);
    X509_EXTENSION_free(ski);
  }
  for (const CERT_EXTENSION& e : r.extra_extensions)
    if (!AddExtensionDer(x, e.pszObjId, e.fCritical, e.Value)) return false;
  return true;
}

const EVP_MD* DigestForKey(EVP_PKEY* key) {
  switch (GostKeyKindOf(key)) {
    case GostKeyKind::k2012_512: return ossl::DigestByName("md_gost12_512");
    case GostKeyKind::k2012_256: return ossl::DigestByName("md_gost12_256");
    case GostKeyKind::k2001: return ossl::DigestByName("md_gost94");
  }
  return nullptr;
}

bool SetTime(ASN1_TIME* field, int64_t seconds) {
  return ASN1_TIME_set(field, static_cast<time_t>(seconds)) != nullptr;
}

bool SetSerial(X509* x, const Bytes& serial) {
  Bytes bytes = serial;
  if (bytes.empty()) {
    bytes.resize(16);
    RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), 16);
    bytes[0] = static_cast<char>((bytes[0] & 0x7F) | 0x01);
  }
  BIGNUM* bn = BN_bin2bn(ossl::Data(bytes), static_cast<int>(bytes.size()), nullptr);
  ASN1_INTEGER* serial_number = BN_to_ASN1_INTEGER(bn, nullptr);
  const bool ok = serial_number != nullptr && X509_set_serialNumber(x, serial_number) == 1;
  ASN1_INTEGER_free(serial_number);
  BN_free(bn);
  return ok;
}

}  // namespace

ossl::PKeyPtr GenerateGostKey(GostKeyKind kind) { return GenerateKey(DefaultKeyParams(kind), {}); }

GostKeyKind GostKeyKindOf(EVP_PKEY* key) {
  switch (EVP_PKEY_get_base_id(key)) {
    case NID_id_GostR3410_2012_512: return GostKeyKind::k2012_512;
    case NID_id_GostR3410_2012_256: return GostKeyKind::k2012_256;
    default: return GostKeyKind::k2001;
  }
}

Bytes BuildCertificate(const CertRequest& r, EVP_PKEY* subject_key, const Bytes& issuer_der, EVP_PKEY* issuer_key) {
  ossl::EnsureGostEngine();
  ossl::X509Ptr issuer;
  if (!issuer_der.empty()) {
    const unsigned char* p = ossl::Data(issuer_der);
    issuer.reset(d2i_X509(nullptr, &p, static_cast<long>(issuer_der.size())));
    if (issuer == nullptr) return {};
  }
  ossl::X509Ptr x(X509_new());
  bool ok = X509_set_version(x.get(), 2) == 1 && SetSerial(x.get(), r.serial) &&
            AddName(X509_get_subject_name(x.get()), r.subject) &&
            X509_set_issuer_name(x.get(), issuer ? X509_get_subject_name(issuer.get())
                                                 : X509_get_subject_name(x.get())) == 1 &&
            SetTime(X509_getm_notBefore(x.get()), r.not_before) && SetTime(X509_getm_notAfter(x.get()), r.not_after) &&
            X509_set_pubkey(x.get(), subject_key) == 1 &&
            AddStandardExtensions(x.get(), r, issuer.get());
  ok = ok && X509_sign(x.get(), issuer_key, DigestForKey(issuer_key)) > 0;
  if (!ok) {
    ossl::ClearErrors();
    return {};
  }
  return ossl::ToDer(i2d_X509, x.get());
}

Bytes BuildCrl(const Bytes& issuer_der, EVP_PKEY* issuer_key, int64_t this_update, int64_t next_update,
               const std::vector<Bytes>& revoked_serials) {
  const unsigned char* p = ossl::Data(issuer_der);
  ossl::X509Ptr issuer(d2i_X509(nullptr, &p, static_cast<long>(issuer_der.size())));
  if (issuer == nullptr) return {};
  ossl::X509CrlPtr crl(X509_CRL_new());
  ASN1_TIME* last = ASN1_TIME_set(nullptr, static_cast<time_t>(this_update));
  ASN1_TIME* next = ASN1_TIME_set(nullptr, static_cast<time_t>(next_update));
  bool ok = X509_CRL_set_version(crl.get(), 1) == 1 &&
            X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer.get())) == 1 &&
            X509_CRL_set1_lastUpdate(crl.get(), last) == 1 && X509_CRL_set1_nextUpdate(crl.get(), next) == 1;
  ASN1_TIME_free(last);
  ASN1_TIME_free(next);
  for (const Bytes& serial : revoked_serials) {
    if (!ok) break;
    X509_REVOKED* rev = X509_REVOKED_new();
    BIGNUM* bn = BN_bin2bn(ossl::Data(serial), static_cast<int>(serial.size()), nullptr);
    ASN1_INTEGER* num = BN_to_ASN1_INTEGER(bn, nullptr);
    ASN1_TIME* when = ASN1_TIME_set(nullptr, static_cast<time_t>(this_update));
    ok = X509_REVOKED_set_serialNumber(rev, num) == 1 && X509_REVOKED_set_revocationDate(rev, when) == 1 &&
         X509_CRL_add0_revoked(crl.get(), rev) == 1;
    if (!ok) X509_REVOKED_free(rev);
    ASN1_TIME_free(when);
    ASN1_INTEGER_free(num);
    BN_free(bn);
  }
  ok = ok && X509_CRL_sort(crl.get()) == 1 && X509_CRL_sign(crl.get(), issuer_key, DigestForKey(issuer_key)) > 0;
  if (!ok) {
    ossl::ClearErrors();
    return {};
  }
  return ossl::ToDer(i2d_X509_CRL, crl.get());
}

Bytes PrivateKeyToPkcs8(EVP_PKEY* key, const std::string& pin) {
  PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
  if (info == nullptr) {
    ossl::ClearErrors();
    return {};
  }
  Bytes out;
  if (pin.empty()) {
    out = ossl::ToDer(i2d_PKCS8_PRIV_KEY_INFO, info);
  } else {
    X509_SIG* sig = PKCS8_encrypt(-1, EVP_aes_256_cbc(), pin.data(), static_cast<int>(pin.size()), nullptr, 0,
                                  PKCS5_DEFAULT_ITER, info);
    if (sig != nullptr) out = ossl::ToDer(i2d_X509_SIG, sig);
    X509_SIG_free(sig);
  }
  PKCS8_PRIV_KEY_INFO_free(info);
  ossl::ClearErrors();
  return out;
}

ossl::PKeyPtr PrivateKeyFromPkcs8(const Bytes& der, const std::string& pin, bool* encrypted) {
  ossl::EnsureGostEngine();
  const unsigned char* p = ossl::Data(der);
  X509_SIG* sig = d2i_X509_SIG(nullptr, &p, static_cast<long>(der.size()));
  PKCS8_PRIV_KEY_INFO* info = nullptr;
  if (sig != nullptr && p == ossl::Data(der) + der.size()) {
    if (encrypted != nullptr) *encrypted = true;
    info = PKCS8_decrypt(sig, pin.data(), static_cast<int>(pin.size()));
  } else {
    if (encrypted != nullptr) *encrypted = false;
    p = ossl::Data(der);
    info = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size()));
  }
  X509_SIG_free(sig);
  EVP_PKEY* key = info != nullptr ? EVP_PKCS82PKEY(info) : nullptr;
  PKCS8_PRIV_KEY_INFO_free(info);
  ossl::ClearErrors();
  return ossl::PKeyPtr(key);
}

}  // namespace zuntar
