#include "platform/capi/cert/cert_builder.h"

#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <utility>

#include "platform/capi/gost/gost_key_material.h"

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
    const ossl::Asn1ObjectPtr obj(OBJ_txt2obj(a.oid.c_str(), 1));
    if (obj == nullptr) return false;
    if (X509_NAME_add_entry_by_OBJ(name, obj.get(), StringTypeFor(a.oid),
                                   reinterpret_cast<const unsigned char*>(a.value.data()),
                                   static_cast<int>(a.value.size()), -1, 0) != 1)
      return false;
  }
  return true;
}

bool AddExtensionDer(X509* x, const std::string& oid, bool critical, const Bytes& value) {
  const ossl::Asn1ObjectPtr obj(OBJ_txt2obj(oid.c_str(), 1));
  const ossl::Asn1OctetStringPtr data(ASN1_OCTET_STRING_new());
  if (obj == nullptr || data == nullptr ||
      ASN1_OCTET_STRING_set(data.get(), ossl::Data(value), static_cast<int>(value.size())) != 1)
    return false;
  const ossl::X509ExtensionPtr ext(X509_EXTENSION_create_by_OBJ(nullptr, obj.get(), critical ? 1 : 0, data.get()));
  return ext != nullptr && X509_add_ext(x, ext.get(), -1) == 1;
}

template <typename T>
bool AddExtension(X509* x, int nid, bool critical, T* value) {
  return X509_add1_ext_i2d(x, nid, value, critical ? 1 : 0, X509V3_ADD_DEFAULT) == 1;
}

ASN1_GENERALIZEDTIME* GeneralizedTime(int64_t seconds) {
  return ASN1_GENERALIZEDTIME_adj(nullptr, static_cast<time_t>(seconds), 0, 0);
}


bool AddStandardExtensions(X509* x, const CertRequest& r, X509* issuer) {
  const ossl::BasicConstraintsPtr bc(BASIC_CONSTRAINTS_new());
  if (bc == nullptr) return false;
  bc->ca = r.is_ca ? 0xFF : 0;
  if (!AddExtension(x, NID_basic_constraints, r.is_ca, bc.get())) return false;

  if (r.key_usage) {
    const ossl::Asn1BitStringPtr ku(ASN1_BIT_STRING_new());
    if (ku == nullptr) return false;
    for (int bit = 0; bit < 8; ++bit)
      if (*r.key_usage & (0x80 >> bit)) ASN1_BIT_STRING_set_bit(ku.get(), bit, 1);
    if (!AddExtension(x, NID_key_usage, true, ku.get())) return false;
  }
  if (!r.extended_key_usage.empty()) {
    const ossl::ExtendedKeyUsagePtr eku(sk_ASN1_OBJECT_new_null());
    if (eku == nullptr) return false;
    for (const std::string& oid : r.extended_key_usage) {
      ossl::Asn1ObjectPtr obj(OBJ_txt2obj(oid.c_str(), 1));
      if (obj == nullptr || sk_ASN1_OBJECT_push(eku.get(), obj.get()) <= 0) return false;
      obj.release();  // the stack holds it now
    }
    if (!AddExtension(x, NID_ext_key_usage, false, eku.get())) return false;
  }
  if (!r.policies.empty()) {
    const ossl::CertificatePoliciesPtr policies(sk_POLICYINFO_new_null());
    if (policies == nullptr) return false;
    for (const std::string& oid : r.policies) {
      ossl::PolicyInfoPtr info(POLICYINFO_new());
      ossl::Asn1ObjectPtr id(OBJ_txt2obj(oid.c_str(), 1));
      if (info == nullptr || id == nullptr) return false;
      const ossl::Asn1ObjectPtr replaced(std::exchange(info->policyid, id.release()));
      if (sk_POLICYINFO_push(policies.get(), info.get()) <= 0) return false;
      info.release();
    }
    if (!AddExtension(x, NID_certificate_policies, false, policies.get())) return false;
  }
  if (r.private_key_usage_period) {
    const ossl::PKeyUsagePeriodPtr period(PKEY_USAGE_PERIOD_new());
    if (period == nullptr) return false;
    period->notBefore = GeneralizedTime(r.private_key_usage_period->first);
    period->notAfter = GeneralizedTime(r.private_key_usage_period->second);
    if (!AddExtension(x, NID_private_key_usage_period, false, period.get())) return false;
  }
  if (!r.subject_alt_other_names.empty()) {
    const ossl::GeneralNamesPtr names(sk_GENERAL_NAME_new_null());
    if (names == nullptr) return false;
    for (const NameAttribute& a : r.subject_alt_other_names) {
      ossl::Asn1StringPtr text(ASN1_UTF8STRING_new());
      ossl::Asn1TypePtr value(ASN1_TYPE_new());
      ossl::Asn1ObjectPtr type(OBJ_txt2obj(a.oid.c_str(), 1));
      ossl::GeneralNamePtr gn(GENERAL_NAME_new());
      if (text == nullptr || value == nullptr || type == nullptr || gn == nullptr ||
          ASN1_STRING_set(text.get(), a.value.data(), static_cast<int>(a.value.size())) != 1)
        return false;
      ASN1_TYPE_set(value.get(), V_ASN1_UTF8STRING, text.release());
      if (GENERAL_NAME_set0_othername(gn.get(), type.get(), value.get()) != 1) return false;
      type.release();
      value.release();
      if (sk_GENERAL_NAME_push(names.get(), gn.get()) <= 0) return false;
      gn.release();
    }
    if (!AddExtension(x, NID_subject_alt_name, false, names.get())) return false;
  }
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer != nullptr ? issuer : x, x, nullptr, nullptr, 0);
  if (const ossl::X509ExtensionPtr ski{X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_key_identifier, "hash")})
    X509_add_ext(x, ski.get(), -1);
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
  const ossl::BignumPtr bn(BN_bin2bn(ossl::Data(bytes), static_cast<int>(bytes.size()), nullptr));
  const ossl::Asn1IntegerPtr serial_number(bn != nullptr ? BN_to_ASN1_INTEGER(bn.get(), nullptr) : nullptr);
  return serial_number != nullptr && X509_set_serialNumber(x, serial_number.get()) == 1;
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
  const ossl::Asn1TimePtr last(ASN1_TIME_set(nullptr, static_cast<time_t>(this_update)));
  const ossl::Asn1TimePtr next(ASN1_TIME_set(nullptr, static_cast<time_t>(next_update)));
  bool ok = crl != nullptr && X509_CRL_set_version(crl.get(), 1) == 1 &&
            X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer.get())) == 1 &&
            X509_CRL_set1_lastUpdate(crl.get(), last.get()) == 1 &&
            X509_CRL_set1_nextUpdate(crl.get(), next.get()) == 1;
  for (const Bytes& serial : revoked_serials) {
    if (!ok) break;
    ossl::X509RevokedPtr rev(X509_REVOKED_new());
    const ossl::BignumPtr bn(BN_bin2bn(ossl::Data(serial), static_cast<int>(serial.size()), nullptr));
    const ossl::Asn1IntegerPtr num(bn != nullptr ? BN_to_ASN1_INTEGER(bn.get(), nullptr) : nullptr);
    const ossl::Asn1TimePtr when(ASN1_TIME_set(nullptr, static_cast<time_t>(this_update)));
    ok = rev != nullptr && X509_REVOKED_set_serialNumber(rev.get(), num.get()) == 1 &&
         X509_REVOKED_set_revocationDate(rev.get(), when.get()) == 1 && X509_CRL_add0_revoked(crl.get(), rev.get()) == 1;
    if (ok) rev.release();  // the CRL holds it now
  }
  ok = ok && X509_CRL_sort(crl.get()) == 1 && X509_CRL_sign(crl.get(), issuer_key, DigestForKey(issuer_key)) > 0;
  if (!ok) {
    ossl::ClearErrors();
    return {};
  }
  return ossl::ToDer(i2d_X509_CRL, crl.get());
}

Bytes PrivateKeyToPkcs8(EVP_PKEY* key, const std::string& pin) {
  const ossl::Pkcs8InfoPtr info(EVP_PKEY2PKCS8(key));
  if (info == nullptr) {
    ossl::ClearErrors();
    return {};
  }
  Bytes out;
  if (pin.empty()) {
    out = ossl::ToDer(i2d_PKCS8_PRIV_KEY_INFO, info.get());
  } else {
    const ossl::X509SigPtr sig(PKCS8_encrypt(-1, EVP_aes_256_cbc(), pin.data(), static_cast<int>(pin.size()), nullptr,
                                             0, PKCS5_DEFAULT_ITER, info.get()));
    if (sig != nullptr) out = ossl::ToDer(i2d_X509_SIG, sig.get());
  }
  ossl::ClearErrors();
  return out;
}

ossl::PKeyPtr PrivateKeyFromPkcs8(const Bytes& der, const std::string& pin, bool* encrypted) {
  ossl::EnsureGostEngine();
  const unsigned char* p = ossl::Data(der);
  const ossl::X509SigPtr sig(d2i_X509_SIG(nullptr, &p, static_cast<long>(der.size())));
  ossl::Pkcs8InfoPtr info;
  if (sig != nullptr && p == ossl::Data(der) + der.size()) {
    if (encrypted != nullptr) *encrypted = true;
    info.reset(PKCS8_decrypt(sig.get(), pin.data(), static_cast<int>(pin.size())));
  } else {
    if (encrypted != nullptr) *encrypted = false;
    p = ossl::Data(der);
    info.reset(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())));
  }
  ossl::PKeyPtr key(info != nullptr ? EVP_PKCS82PKEY(info.get()) : nullptr);
  ossl::ClearErrors();
  return key;
}

}  // namespace zuntar
