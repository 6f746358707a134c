#include "platform/capi/api/crypt_api.h"

#include <cstring>

#include "platform/capi/api/provider_loader.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/wide_text.h"

namespace zuntar {
namespace {

bool Check(DWORD rc) {
  if (rc != 0) SetLastError(rc);
  return rc == 0;
}

}  // namespace

namespace {

// Both forms meet here with UTF-8 names.
bool AcquireContext(HCRYPTPROV* prov, const std::string* container, const std::string* provider, DWORD prov_type,
                    DWORD flags) {
  if (prov == nullptr) return Fail(E_INVALIDARG);
  prov->reset();
  std::string name;
  DWORD error = 0;
  csp::Module* module = LoadProviderModule(provider != nullptr ? *provider : "", prov_type, &name, &error);
  if (module == nullptr) return Fail(error);
  std::unique_ptr<csp::Context> context;
  if (!Check(module->Acquire(container != nullptr ? *container : "", name, prov_type, flags, &context))) return false;
  if (context != nullptr) *prov = std::make_shared<CryptProvider>(std::move(context), prov_type);
  return true;
}

}  // namespace

bool CryptAcquireContextA(HCRYPTPROV* prov, const char* container, const char* provider, DWORD prov_type,
                          DWORD flags) {
  const std::string c = container != nullptr ? Utf8FromAnsiText(container) : std::string();
  const std::string p = provider != nullptr ? Utf8FromAnsiText(provider) : std::string();
  return AcquireContext(prov, container != nullptr ? &c : nullptr, provider != nullptr ? &p : nullptr, prov_type,
                        flags);
}

bool CryptAcquireContextW(HCRYPTPROV* prov, const char16_t* container, const char16_t* provider, DWORD prov_type,
                          DWORD flags) {
  const std::string c = container != nullptr ? Utf8FromUtf16(container) : std::string();
  const std::string p = provider != nullptr ? Utf8FromUtf16(provider) : std::string();
  return AcquireContext(prov, container != nullptr ? &c : nullptr, provider != nullptr ? &p : nullptr, prov_type,
                        flags);
}

bool CryptReleaseContext(HCRYPTPROV& prov, DWORD) {
  if (prov == nullptr) return Fail(ERROR_INVALID_HANDLE);
  prov.reset();
  return true;
}

bool CryptGetProvParam(const HCRYPTPROV& prov, DWORD param, BYTE* data, DWORD* data_len, DWORD flags) {
  if (prov == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (data_len == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  Bytes value;
  DWORD size = data != nullptr ? *data_len : 0;
  if (!Check(prov->context().GetParam(param, flags, data != nullptr ? &value : nullptr, &size))) {
    if (GetLastError() == ERROR_MORE_DATA) *data_len = size;
    return false;
  }
  if (data == nullptr) {
    *data_len = size;
    return true;
  }
  return CopyOut(value, data, data_len);
}

bool CryptSetProvParam(const HCRYPTPROV& prov, DWORD param, const Bytes& data, DWORD) {
  if (prov == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Check(prov->context().SetParam(param, data));
}

bool CryptGetUserKey(const HCRYPTPROV& prov, DWORD key_spec, HCRYPTKEY* key) {
  if (prov == nullptr || key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  std::unique_ptr<csp::Key> k;
  if (!Check(prov->context().GetUserKey(key_spec, &k))) return false;
  *key = std::make_shared<CryptKey>(prov, std::move(k));
  return true;
}

bool CryptGenKey(const HCRYPTPROV& prov, ALG_ID alg, DWORD flags, HCRYPTKEY* key) {
  if (prov == nullptr || key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  std::unique_ptr<csp::Key> k;
  if (!Check(prov->context().GenKey(alg, flags, &k))) return false;
  *key = std::make_shared<CryptKey>(prov, std::move(k));
  return true;
}

bool CryptDestroyKey(HCRYPTKEY& key) {
  if (key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  key.reset();
  return true;
}

bool CryptGetKeyParam(const HCRYPTKEY& key, DWORD param, Bytes* value) {
  if (key == nullptr || value == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Check(key->key().GetParam(param, value));
}

bool CryptGetKeyParam(const HCRYPTKEY& key, DWORD param, BYTE* data, DWORD* data_len, DWORD) {
  Bytes value;
  return CryptGetKeyParam(key, param, &value) && CopyOut(value, data, data_len);
}

bool CryptSetKeyParam(const HCRYPTKEY& key, DWORD param, const Bytes& data, DWORD) {
  if (key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Check(key->key().SetParam(param, data));
}

bool CryptExportKey(const HCRYPTKEY& key, const HCRYPTKEY& exp_key, DWORD blob_type, DWORD flags, BYTE* data,
                    DWORD* data_len) {
  if (key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  Bytes blob;
  if (!Check(key->key().Export(exp_key != nullptr ? &exp_key->key() : nullptr, blob_type, flags, &blob)))
    return false;
  return CopyOut(blob, data, data_len);
}

bool CryptImportKey(const HCRYPTPROV& prov, const Bytes& blob, const HCRYPTKEY& pub_key, DWORD flags,
                    HCRYPTKEY* key) {
  if (prov == nullptr || key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  std::unique_ptr<csp::Key> k;
  if (!Check(prov->context().ImportKey(blob, pub_key != nullptr ? &pub_key->key() : nullptr, flags, &k)))
    return false;
  *key = std::make_shared<CryptKey>(prov, std::move(k));
  return true;
}

bool CryptEncrypt(const HCRYPTKEY& key, const HCRYPTHASH&, bool final, DWORD, Bytes* data) {
  if (key == nullptr || data == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Check(key->key().Encrypt(final, data));
}

bool CryptDecrypt(const HCRYPTKEY& key, const HCRYPTHASH&, bool final, DWORD, BYTE* data, DWORD* data_len) {
  if (key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (data_len == nullptr || (data == nullptr && *data_len != 0)) return Fail(ERROR_INVALID_PARAMETER);
  Bytes buffer(reinterpret_cast<const char*>(data), *data_len);
  DWORD rc = key->key().Decrypt(final, &buffer);
  if (rc == 0 && buffer.size() > *data_len) rc = NTE_BAD_LEN;
  if (rc != 0) {
    // What could not be decrypted is not handed back as if it were plain.
    if (*data_len != 0) std::memset(data, 0, *data_len);
    *data_len = 0;
    return Fail(rc);
  }
  if (!buffer.empty()) std::memcpy(data, buffer.data(), buffer.size());
  *data_len = static_cast<DWORD>(buffer.size());
  return true;
}

bool CryptCreateHash(const HCRYPTPROV& prov, ALG_ID alg, const HCRYPTKEY&, DWORD, HCRYPTHASH* hash) {
  if (prov == nullptr || hash == nullptr) return Fail(ERROR_INVALID_HANDLE);
  std::unique_ptr<csp::Hash> h;
  if (!Check(prov->context().CreateHash(alg, &h))) return false;
  *hash = std::make_shared<CryptHash>(prov, std::move(h));
  return true;
}

bool CryptHashData(const HCRYPTHASH& hash, const BYTE* data, DWORD data_len, DWORD) {
  if (hash == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (data == nullptr && data_len != 0) return Fail(ERROR_INVALID_PARAMETER);
  return Check(hash->hash().HashData(data, data_len));
}

bool CryptSetHashParam(const HCRYPTHASH& hash, DWORD param, const Bytes& data, DWORD) {
  if (hash == nullptr) return Fail(ERROR_INVALID_HANDLE);
  hash->pending_signature.clear();
  return Check(hash->hash().SetParam(param, data));
}

bool CryptGetHashParam(const HCRYPTHASH& hash, DWORD param, BYTE* data, DWORD* data_len, DWORD) {
  if (hash == nullptr) return Fail(ERROR_INVALID_HANDLE);
  Bytes value;
  return Check(hash->hash().GetParam(param, &value)) && CopyOut(value, data, data_len);
}

bool CryptDestroyHash(HCRYPTHASH& hash) {
  if (hash == nullptr) return Fail(ERROR_INVALID_HANDLE);
  hash.reset();
  return true;
}

bool CryptSignHashA(const HCRYPTHASH& hash, DWORD key_spec, const char*, DWORD, BYTE* signature, DWORD* sig_len) {
  if (hash == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (sig_len == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  Bytes value;
  if (!hash->pending_signature.empty() && hash->pending_spec == key_spec) {
    value = hash->pending_signature;
  } else if (!Check(hash->hash().Sign(key_spec, &value))) {
    return false;
  }
  if (signature == nullptr) {
    hash->pending_signature = value;
    hash->pending_spec = key_spec;
  } else if (*sig_len >= value.size()) {
    hash->pending_signature.clear();
  }
  return CopyOut(value, signature, sig_len);
}

bool CryptVerifySignatureA(const HCRYPTHASH& hash, const BYTE* signature, DWORD sig_len, const HCRYPTKEY& pub_key,
                           const char*, DWORD) {
  if (hash == nullptr || pub_key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (signature == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Check(hash->hash().Verify(Bytes(reinterpret_cast<const char*>(signature), sig_len), &pub_key->key()));
}

bool CryptImportPublicKeyInfoEx(const HCRYPTPROV& prov, DWORD, const CERT_PUBLIC_KEY_INFO& info, ALG_ID, DWORD,
                                void*, HCRYPTKEY* key) {
  if (prov == nullptr || key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  std::unique_ptr<csp::Key> k;
  if (!Check(prov->context().ImportPublicKeyInfo(info, &k))) return false;
  *key = std::make_shared<CryptKey>(prov, std::move(k));
  return true;
}

bool CryptExportPublicKeyInfo(const HCRYPTPROV& prov, DWORD key_spec, DWORD, CERT_PUBLIC_KEY_INFO* info) {
  if (prov == nullptr || info == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Check(prov->context().ExportPublicKeyInfo(key_spec, info));
}

bool CryptAcquireCertificatePrivateKey(const PCCERT_CONTEXT& cert, DWORD flags, void*, HCRYPTPROV* prov,
                                       DWORD* key_spec, bool* caller_free) {
  if (cert == nullptr || prov == nullptr) return Fail(E_INVALIDARG);
  if (flags & CRYPT_ACQUIRE_CACHE_FLAG) {
    DWORD cached_spec = 0;
    if (auto cached = std::static_pointer_cast<CryptProvider>(cert->CachedKey(&cached_spec))) {
      *prov = cached;
      if (key_spec != nullptr) *key_spec = cached_spec;
      if (caller_free != nullptr) *caller_free = false;
      return true;
    }
  }
  CRYPT_KEY_PROV_INFO info;
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, &info)) return Fail(CRYPT_E_NO_KEY_PROPERTY);
  HCRYPTPROV acquired;
  const DWORD silent = (flags & CRYPT_ACQUIRE_SILENT_FLAG) ? CRYPT_SILENT : 0;
  if (!CryptAcquireContextW(&acquired, info.pwszContainerName.c_str(),
                            info.pwszProvName.empty() ? nullptr : info.pwszProvName.c_str(), info.dwProvType,
                            (info.dwFlags & CRYPT_MACHINE_KEYSET) | silent))
    return false;
  // Opening the key now makes the PIN question, if any, come at once.
  HCRYPTKEY key;
  if (!CryptGetUserKey(acquired, info.dwKeySpec, &key)) return false;
  if (flags & CRYPT_ACQUIRE_COMPARE_KEY_FLAG) {
    CERT_PUBLIC_KEY_INFO public_info;
    if (!CryptExportPublicKeyInfo(acquired, info.dwKeySpec, X509_ASN_ENCODING, &public_info)) return false;
    if (!CertComparePublicKeyInfo(X509_ASN_ENCODING, public_info, cert->Info().SubjectPublicKeyInfo))
      return Fail(NTE_BAD_PUBLIC_KEY);
  }
  *prov = acquired;
  if (key_spec != nullptr) *key_spec = info.dwKeySpec;
  if (flags & CRYPT_ACQUIRE_CACHE_FLAG) {
    cert->SetCachedKey(acquired, info.dwKeySpec);
    if (caller_free != nullptr) *caller_free = false;
  } else if (caller_free != nullptr) {
    *caller_free = true;
  }
  return true;
}

void DropPrivateKeyCache() {
  for (csp::Module* module : LoadedProviderModules()) module->DropKeyCache();
}

void SetPrivateKeyCacheIdleLimit(uint32_t minutes) { SetProviderKeyCacheIdleLimit(minutes); }

}  // namespace zuntar
