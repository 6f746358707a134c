// Copying a key container: the keys travel wrapped under a key both
// containers agree on through ephemeral keys, as the provider allows a
// private key to leave a container only that way.
#include "certs/key_containers.h"
#include "certs/provider_detection.h"
#include "platform/capi/api/crypt_api.h"
#include "platform/capi/base/error_codes.h"

namespace zuntar {
namespace {

struct TransferAlgorithms {
  ALG_ID ephemeral;  // agreement key of each side
  ALG_ID wrap;       // cipher the agreed keys wrap the private key with
};

TransferAlgorithms AlgorithmsFor(DWORD prov_type) {
  switch (prov_type) {
    case PROV_GOST_2012_256: return {CALG_DH_GR3410_12_256_EPHEM, CALG_PRO12_EXPORT};
    case PROV_GOST_2012_512: return {CALG_DH_GR3410_12_512_EPHEM, CALG_PRO12_EXPORT};
    default: return {CALG_DH_EL_EPHEM, CALG_PRO_EXPORT};
  }
}

Bytes DwordValue(DWORD value) {
  Bytes out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

// A parameter read by size query and value; false when either fails.
bool ReadProvParam(const HCRYPTPROV& prov, DWORD param, Bytes* value) {
  DWORD size = 0;
  if (!CryptGetProvParam(prov, param, nullptr, &size, 0)) return false;
  value->assign(size, '\0');
  if (!CryptGetProvParam(prov, param, reinterpret_cast<BYTE*>(value->data()), &size, 0)) return false;
  value->resize(size);
  return true;
}

bool ReadKeyParam(const HCRYPTKEY& key, DWORD param, Bytes* value) {
  DWORD size = 0;
  if (!CryptGetKeyParam(key, param, nullptr, &size, 0)) return false;
  value->assign(size, '\0');
  if (!CryptGetKeyParam(key, param, reinterpret_cast<BYTE*>(value->data()), &size, 0)) return false;
  value->resize(size);
  return true;
}

bool ExportKey(const HCRYPTKEY& key, const HCRYPTKEY& wrap_key, DWORD blob_type, Bytes* blob) {
  DWORD size = 0;
  if (!CryptExportKey(key, wrap_key, blob_type, 0, nullptr, &size)) return false;
  blob->assign(size, '\0');
  if (!CryptExportKey(key, wrap_key, blob_type, 0, reinterpret_cast<BYTE*>(blob->data()), &size)) return false;
  blob->resize(size);
  return true;
}

// The key both sides agree on: the other side's ephemeral public key
// imported against this side's ephemeral key, set to wrap with `wrap`.
bool AgreedKey(const HCRYPTPROV& prov, const HCRYPTKEY& own_ephemeral, const HCRYPTKEY& peer_ephemeral, ALG_ID wrap,
               HCRYPTKEY* agreed) {
  Bytes public_blob;
  return ExportKey(peer_ephemeral, nullptr, PUBLICKEYBLOB, &public_blob) &&
         CryptImportKey(prov, public_blob, own_ephemeral, 0, agreed) &&
         CryptSetKeyParam(*agreed, KP_ALGID, DwordValue(wrap), 0);
}

// Moves one key of the source into the target. Every key made on the way
// is destroyed with its handle.
bool TransferKey(const HCRYPTPROV& source, const HCRYPTKEY& source_key, const HCRYPTPROV& target,
                 const TransferAlgorithms& algs) {
  HCRYPTKEY source_ephemeral, target_ephemeral;
  if (!CryptGenKey(source, algs.ephemeral, CRYPT_EXPORTABLE, &source_ephemeral) ||
      !CryptGenKey(target, algs.ephemeral, CRYPT_PREGEN | CRYPT_EXPORTABLE, &target_ephemeral))
    return false;
  // The target's ephemeral key takes the source's parameter sets before it
  // is made, so that the two can agree.
  for (DWORD param : {KP_HASHOID, KP_DHOID}) {
    Bytes value;
    if (!ReadKeyParam(source_ephemeral, param, &value) || !CryptSetKeyParam(target_ephemeral, param, value, 0))
      return false;
  }
  if (!CryptSetKeyParam(target_ephemeral, KP_X, {}, 0)) return false;
  HCRYPTKEY target_agreed, source_agreed;
  if (!AgreedKey(target, target_ephemeral, source_ephemeral, algs.wrap, &target_agreed) ||
      !AgreedKey(source, source_ephemeral, target_ephemeral, algs.wrap, &source_agreed))
    return false;
  Bytes wrapped;
  HCRYPTKEY moved;
  if (!ExportKey(source_key, source_agreed, PRIVATEKEYBLOB, &wrapped) ||
      !CryptImportKey(target, wrapped, target_agreed, CRYPT_EXPORTABLE, &moved))
    return false;
  Bytes cert;
  if (ReadKeyParam(source_key, KP_CERTIFICATE, &cert) && !cert.empty())
    CryptSetKeyParam(moved, KP_CERTIFICATE, cert, 0);
  return true;
}

bool CopyKeys(const HCRYPTPROV& source, const HCRYPTPROV& target, DWORD prov_type, const Bytes& cert_body) {
  // An empty PIN: the copy opens without asking.
  if (!CryptSetProvParam(target, PP_KEYEXCHANGE_PIN, Bytes(1, '\0'), 0)) return false;
  for (DWORD param : {PP_SIGNATUREOID, PP_DHOID}) {
    Bytes value;
    if (!ReadProvParam(source, param, &value) || !CryptSetProvParam(target, param, value, 0)) return false;
  }
  const TransferAlgorithms algs = AlgorithmsFor(prov_type);
  for (DWORD key_spec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
    HCRYPTKEY key;
    if (CryptGetUserKey(source, key_spec, &key) && !TransferKey(source, key, target, algs)) return false;
  }
  if (cert_body.empty()) return true;
  for (DWORD key_spec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
    HCRYPTKEY key;
    if (CryptGetUserKey(target, key_spec, &key) && !CryptSetKeyParam(key, KP_CERTIFICATE, cert_body, 0))
      return false;
  }
  return true;
}

}  // namespace

bool CopyContainer(const std::string& source, const std::string& target, const Bytes& cert_body) {
  const DWORD prov_type = cert_body.empty() ? PROV_GOST_2001_DH : ProviderForCertificate(cert_body).type;
  HCRYPTPROV from;
  if (!CryptAcquireContextA(&from, source.c_str(), nullptr, prov_type, 0)) return false;
  // A new key set only: an existing container is never written over.
  HCRYPTPROV to;
  if (!CryptAcquireContextA(&to, target.c_str(), nullptr, prov_type, CRYPT_NEWKEYSET)) return false;
  if (CopyKeys(from, to, prov_type, cert_body)) return true;
  // Half a copy is worse than none: it would be found and fail later.
  const DWORD error = GetLastError();
  to.reset();
  HCRYPTPROV deleted;
  CryptAcquireContextA(&deleted, target.c_str(), nullptr, prov_type, CRYPT_DELETEKEYSET);
  SetLastError(error);
  return false;
}

}  // namespace zuntar
