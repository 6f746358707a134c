#include "platform/capi/cert/cert_context.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <unordered_map>

#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/ossl.h"

namespace zuntar {
namespace {

constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;

// Content octets of a DER element (tag and length skipped); empty on error.
Bytes DerContent(const Bytes& der) {
  if (der.size() < 2) return {};
  size_t pos = 1;
  size_t len = static_cast<unsigned char>(der[pos++]);
  if (len & 0x80) {
    const size_t n = len & 0x7F;
    if (n == 0 || n > 4 || pos + n > der.size()) return {};
    len = 0;
    for (size_t i = 0; i < n; ++i) len = (len << 8) | static_cast<unsigned char>(der[pos++]);
  }
  if (pos + len != der.size()) return {};
  return der.substr(pos);
}

CRYPT_ALGORITHM_IDENTIFIER AlgorithmOf(const X509_ALGOR* alg) {
  CRYPT_ALGORITHM_IDENTIFIER out;
  const ASN1_OBJECT* obj = nullptr;
  int param_type = 0;
  const void* param = nullptr;
  X509_ALGOR_get0(&obj, &param_type, &param, alg);
  out.pszObjId = ossl::OidText(obj);
  if (param_type != V_ASN1_UNDEF && alg->parameter != nullptr)
    out.Parameters = ossl::ToDer(i2d_ASN1_TYPE, alg->parameter);
  return out;
}

bool FillInfo(X509* x, CERT_INFO* info) {
  info->dwVersion = static_cast<DWORD>(X509_get_version(x));
  Bytes serial = DerContent(ossl::ToDer(i2d_ASN1_INTEGER, X509_get0_serialNumber(x)));
  std::reverse(serial.begin(), serial.end());
  info->SerialNumber = serial;
  info->SignatureAlgorithm = AlgorithmOf(X509_get0_tbs_sigalg(x));
  const unsigned char* der = nullptr;
  size_t der_len = 0;
  if (X509_NAME_get0_der(X509_get_issuer_name(x), &der, &der_len) != 1) return false;
  info->Issuer.assign(reinterpret_cast<const char*>(der), der_len);
  if (X509_NAME_get0_der(X509_get_subject_name(x), &der, &der_len) != 1) return false;
  info->Subject.assign(reinterpret_cast<const char*>(der), der_len);
  if (!FileTimeFromAsn1(X509_get0_notBefore(x), &info->NotBefore) ||
      !FileTimeFromAsn1(X509_get0_notAfter(x), &info->NotAfter))
    return false;

  X509_PUBKEY* pub = X509_get_X509_PUBKEY(x);
  ASN1_OBJECT* key_obj = nullptr;
  const unsigned char* key = nullptr;
  int key_len = 0;
  X509_ALGOR* key_alg = nullptr;
  if (pub == nullptr || X509_PUBKEY_get0_param(&key_obj, &key, &key_len, &key_alg, pub) != 1) return false;
  info->SubjectPublicKeyInfo.Algorithm = AlgorithmOf(key_alg);
  info->SubjectPublicKeyInfo.PublicKey.pbData.assign(reinterpret_cast<const char*>(key), static_cast<size_t>(key_len));

  const int count = X509_get_ext_count(x);
  for (int i = 0; i < count; ++i) {
    X509_EXTENSION* ext = X509_get_ext(x, i);
    CERT_EXTENSION e;
    e.pszObjId = ossl::OidText(X509_EXTENSION_get_object(ext));
    e.fCritical = X509_EXTENSION_get_critical(ext) != 0;
    const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(ext);
    e.Value.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                   static_cast<size_t>(ASN1_STRING_length(value)));
    info->rgExtension.push_back(std::move(e));
  }
  return true;
}

void PutU32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

bool GetU32(const Bytes& in, size_t& pos, uint32_t* v) {
  if (pos + 4 > in.size()) return false;
  *v = 0;
  for (int i = 3; i >= 0; --i) *v = (*v << 8) | static_cast<unsigned char>(in[pos + i]);
  pos += 4;
  return true;
}

void PutWide(Bytes& out, const std::u16string& s) {
  PutU32(out, static_cast<uint32_t>(s.size()));
  for (char16_t c : s) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
}

bool GetWide(const Bytes& in, size_t& pos, std::u16string* s) {
  uint32_t n = 0;
  if (!GetU32(in, pos, &n) || n > (in.size() - pos) / 2) return false;
  s->clear();
  for (uint32_t i = 0; i < n; ++i, pos += 2)
    s->push_back(static_cast<char16_t>(static_cast<unsigned char>(in[pos]) |
                                       (static_cast<unsigned char>(in[pos + 1]) << 8)));
  return true;
}

// What decoding a certificate yields. Shared by the contexts of that
// certificate: OpenSSL's certificate object may be read from several
// threads, and nothing here ever changes it.
struct DecodedCertificate {
  ossl::X509Ptr x509;
  CERT_INFO info;
  Bytes sha1;
};

// Certificates decoded before, by their encoding. Stores are read whole at
// every open and certificates are looked at again and again, and decoding
// is most of that cost. Keyed by the whole encoding, so an entry is always
// what decoding would give; forgets everything when full.
class DecodedCertificates {
 public:
  std::shared_ptr<const DecodedCertificate> Find(const Bytes& der) {
    ReaderLock lock(mu_);
    const auto it = entries_.find(der);
    return it == entries_.end() ? nullptr : it->second;
  }
  void Add(const Bytes& der, std::shared_ptr<const DecodedCertificate> decoded) {
    WriterLock lock(mu_);
    if (entries_.size() >= kCapacity) entries_.clear();
    entries_.emplace(der, std::move(decoded));
  }

 private:
  static constexpr size_t kCapacity = 2048;
  SharedMutex mu_;
  std::unordered_map<Bytes, std::shared_ptr<const DecodedCertificate>> entries_ GUARDED_BY(mu_);
};

DecodedCertificates& Decoded() {
  static DecodedCertificates cache;
  return cache;
}

std::shared_ptr<const DecodedCertificate> DecodeNew(const Bytes& der) {
  const unsigned char* p = ossl::Data(der);
  auto decoded = std::make_shared<DecodedCertificate>();
  decoded->x509.reset(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (decoded->x509 == nullptr || p != ossl::Data(der) + der.size()) {
    ossl::ClearErrors();
    SetLastError(der.empty() ? CRYPT_E_ASN1_EOD : CRYPT_E_ASN1_BADTAG);
    return nullptr;
  }
  if (!FillInfo(decoded->x509.get(), &decoded->info)) {
    ossl::ClearErrors();
    SetLastError(CRYPT_E_ASN1_CORRUPT);
    return nullptr;
  }
  decoded->sha1 = ossl::Sha1(der);
  return decoded;
}

}  // namespace

// ---- CertContext ---------------------------------------------------------------

void CertContext::X509Free::operator()(X509* x) const { X509_free(x); }

std::shared_ptr<CertContext> CertContext::Decode(const Bytes& der) {
  ossl::EnsureGostEngine();
  std::shared_ptr<const DecodedCertificate> decoded = Decoded().Find(der);
  if (decoded == nullptr) {
    decoded = DecodeNew(der);
    if (decoded == nullptr) return nullptr;
    Decoded().Add(der, decoded);
  }
  std::shared_ptr<CertContext> ctx(new CertContext());
  ctx->encoded_ = der;
  ctx->info_ = decoded->info;
  X509_up_ref(decoded->x509.get());
  ctx->x509_.reset(decoded->x509.get());
  ctx->sha1_ = decoded->sha1;
  return ctx;
}

bool CertContext::GetProperty(DWORD id, Bytes* value) const {
  if (id == CERT_SHA1_HASH_PROP_ID) {
    *value = sha1_;
    return true;
  }
  MutexLock lock(mu_);
  const auto it = properties_.find(id);
  if (it == properties_.end()) return false;
  *value = it->second;
  return true;
}

void CertContext::SetProperty(DWORD id, const Bytes* value) {
  PropertySink sink;
  std::map<DWORD, Bytes> snapshot;
  {
    MutexLock lock(mu_);
    if (value != nullptr)
      properties_[id] = *value;
    else
      properties_.erase(id);
    sink = sink_;
    if (sink) snapshot = properties_;
  }
  if (sink) sink(snapshot);
}

std::map<DWORD, Bytes> CertContext::Properties() const {
  MutexLock lock(mu_);
  return properties_;
}

void CertContext::LoadProperties(std::map<DWORD, Bytes> properties) {
  MutexLock lock(mu_);
  properties_ = std::move(properties);
}

void CertContext::SetPropertySink(PropertySink sink) {
  MutexLock lock(mu_);
  sink_ = std::move(sink);
}

CertContext::StoreEntry CertContext::Entry() const {
  MutexLock lock(mu_);
  return entry_;
}

void CertContext::SetEntry(StoreEntry entry) {
  MutexLock lock(mu_);
  entry_ = std::move(entry);
}

std::shared_ptr<void> CertContext::CachedKey(DWORD* key_spec) const {
  MutexLock lock(mu_);
  if (key_spec != nullptr) *key_spec = cached_key_spec_;
  return cached_key_;
}

void CertContext::SetCachedKey(std::shared_ptr<void> handle, DWORD key_spec) {
  MutexLock lock(mu_);
  cached_key_ = std::move(handle);
  cached_key_spec_ = key_spec;
}

// ---- Operations --------------------------------------------------------------

PCCERT_CONTEXT CertCreateCertificateContext(DWORD encoding, const Bytes& der) {
  if ((encoding & X509_ASN_ENCODING) == 0) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  return CertContext::Decode(der);
}

PCCERT_CONTEXT CertDuplicateCertificateContext(const PCCERT_CONTEXT& context) { return context; }

bool CertFreeCertificateContext(PCCERT_CONTEXT& context) {
  context.reset();
  return true;
}

bool CopyOut(const Bytes& value, BYTE* data, DWORD* size) {
  if (size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD needed = static_cast<DWORD>(value.size());
  if (data == nullptr) {
    *size = needed;
    return true;
  }
  if (*size < needed) {
    *size = needed;
    return Fail(ERROR_MORE_DATA);
  }
  if (needed > 0) std::memcpy(data, value.data(), needed);
  *size = needed;
  return true;
}

bool CertGetCertificateContextProperty(const PCCERT_CONTEXT& context, DWORD prop_id, Bytes* value) {
  if (context == nullptr || value == nullptr) return Fail(E_INVALIDARG);
  if (!context->GetProperty(prop_id, value)) return Fail(CRYPT_E_NOT_FOUND);
  return true;
}

bool CertGetCertificateContextProperty(const PCCERT_CONTEXT& context, DWORD prop_id, BYTE* data, DWORD* size) {
  Bytes value;
  if (!CertGetCertificateContextProperty(context, prop_id, &value)) return false;
  return CopyOut(value, data, size);
}

bool CertGetCertificateContextProperty(const PCCERT_CONTEXT& context, DWORD prop_id, CRYPT_KEY_PROV_INFO* info) {
  if (prop_id != CERT_KEY_PROV_INFO_PROP_ID || info == nullptr) return Fail(E_INVALIDARG);
  Bytes value;
  if (!CertGetCertificateContextProperty(context, prop_id, &value)) return false;
  if (!DecodeKeyProvInfo(value, info)) return Fail(CRYPT_E_NOT_FOUND);
  return true;
}

bool CertSetCertificateContextProperty(const PCCERT_CONTEXT& context, DWORD prop_id, DWORD, const Bytes* value) {
  if (context == nullptr || prop_id == 0) return Fail(E_INVALIDARG);
  // The hash is derived from the encoding; the key context is a handle.
  if (prop_id == CERT_SHA1_HASH_PROP_ID || prop_id == CERT_KEY_CONTEXT_PROP_ID) return Fail(E_INVALIDARG);
  if (prop_id == CERT_KEY_PROV_INFO_PROP_ID && value != nullptr) {
    CRYPT_KEY_PROV_INFO check;
    if (!DecodeKeyProvInfo(*value, &check)) return Fail(E_INVALIDARG);
  }
  context->SetProperty(prop_id, value);
  return true;
}

bool CertSetCertificateContextProperty(const PCCERT_CONTEXT& context, DWORD prop_id, DWORD flags,
                                       const CRYPT_KEY_PROV_INFO* info) {
  if (prop_id != CERT_KEY_PROV_INFO_PROP_ID) return Fail(E_INVALIDARG);
  if (info == nullptr) return CertSetCertificateContextProperty(context, prop_id, flags, static_cast<const Bytes*>(nullptr));
  const Bytes bytes = EncodeKeyProvInfo(*info);
  return CertSetCertificateContextProperty(context, prop_id, flags, &bytes);
}

DWORD CertEnumCertificateContextProperties(const PCCERT_CONTEXT& context, DWORD prev_prop_id) {
  if (context == nullptr) return 0;
  std::map<DWORD, Bytes> props = context->Properties();
  props[CERT_SHA1_HASH_PROP_ID];
  const auto it = props.upper_bound(prev_prop_id);
  return it == props.end() ? 0 : it->first;
}

bool CertCompareCertificateName(DWORD, const Bytes& name1, const Bytes& name2) { return name1 == name2; }

bool CertCompareIntegerBlob(const Bytes& int1, const Bytes& int2) {
  auto significant = [](const Bytes& v) {
    size_t n = v.size();
    while (n > 1) {
      const unsigned char top = static_cast<unsigned char>(v[n - 1]);
      const bool next_negative = (static_cast<unsigned char>(v[n - 2]) & 0x80) != 0;
      if ((top == 0x00 && !next_negative) || (top == 0xFF && next_negative))
        --n;
      else
        break;
    }
    return (n == 1 && v[0] == 0) ? size_t{0} : n;
  };
  const size_t n1 = significant(int1);
  const size_t n2 = significant(int2);
  return n1 == n2 && std::equal(int1.begin(), int1.begin() + static_cast<long>(n1), int2.begin());
}

bool CertComparePublicKeyInfo(DWORD, const CERT_PUBLIC_KEY_INFO& key1, const CERT_PUBLIC_KEY_INFO& key2) {
  return key1.Algorithm.pszObjId == key2.Algorithm.pszObjId && key1.PublicKey.pbData == key2.PublicKey.pbData &&
         key1.PublicKey.cUnusedBits == key2.PublicKey.cUnusedBits;
}

Bytes EncodeKeyProvInfo(const CRYPT_KEY_PROV_INFO& info) {
  Bytes out;
  PutWide(out, info.pwszContainerName);
  PutWide(out, info.pwszProvName);
  PutU32(out, info.dwProvType);
  PutU32(out, info.dwFlags);
  PutU32(out, info.dwKeySpec);
  return out;
}

bool DecodeKeyProvInfo(const Bytes& bytes, CRYPT_KEY_PROV_INFO* info) {
  size_t pos = 0;
  CRYPT_KEY_PROV_INFO out;
  if (!GetWide(bytes, pos, &out.pwszContainerName) || !GetWide(bytes, pos, &out.pwszProvName) ||
      !GetU32(bytes, pos, &out.dwProvType) || !GetU32(bytes, pos, &out.dwFlags) ||
      !GetU32(bytes, pos, &out.dwKeySpec) || pos != bytes.size())
    return false;
  *info = std::move(out);
  return true;
}

bool FileTimeFromAsn1(const ASN1_TIME* time, FILETIME* out) {
  struct tm tm {};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return false;
  const int64_t seconds = timegm(&tm);
  if (seconds < -11644473600LL) return false;
  *out = FileTimeFromUnix(seconds);
  return true;
}

FILETIME FileTimeFromUnix(int64_t seconds) {
  return static_cast<FILETIME>(seconds * 10000000LL + kFileTimeUnixEpoch);
}

int64_t UnixFromFileTime(FILETIME ft) {
  return (static_cast<int64_t>(ft) - kFileTimeUnixEpoch) / 10000000LL;
}

}  // namespace zuntar
