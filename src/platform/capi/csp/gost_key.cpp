#include "platform/capi/csp/gost_key.h"

#include <openssl/rand.h>

#include <cstring>

#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/cert/cert_builder.h"
#include "platform/capi/cert/cert_context.h"
#include "platform/capi/csp/key_blob.h"
#include "platform/capi/csp/param_value.h"
#include "platform/capi/gost/gost28147.h"

namespace zuntar::csp {
namespace {

constexpr DWORD kPrivateBlobMagic = 0x314B505A;  // "ZPK1": this provider's wrapped private key

Bytes RandomBytes(size_t n) {
  Bytes out(n, '\0');
  RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n));
  return out;
}

bool WrapKey(ALG_ID export_alg, const Bytes& kek, const std::string& paramset, const Bytes& ukm, const Bytes& key,
             Bytes* encrypted, Bytes* mac) {
  return export_alg == CALG_SIMPLE_EXPORT ? gost28147::WrapSimple(kek, paramset, ukm, key, encrypted, mac)
                                          : gost28147::WrapCryptoPro(kek, paramset, ukm, key, encrypted, mac);
}

bool UnwrapKey(ALG_ID export_alg, const Bytes& kek, const std::string& paramset, const Bytes& ukm,
               const Bytes& encrypted, const Bytes& mac, Bytes* key) {
  return export_alg == CALG_SIMPLE_EXPORT ? gost28147::UnwrapSimple(kek, paramset, ukm, encrypted, mac, key)
                                          : gost28147::UnwrapCryptoPro(kek, paramset, ukm, encrypted, mac, key);
}

// CBC padding of a message's last piece. ISO10126_PADDING is the form the
// fund's services write and the GOST providers read back for them: an
// unaligned message ends in N bytes of value N (1 to 7), an aligned one has
// no padding at all, so that both decrypt to exactly what was sent.
void AddPadding(DWORD padding, Bytes* data) {
  const size_t pad = 8 - data->size() % 8;
  switch (padding) {
    case PKCS5_PADDING:
      data->append(pad, static_cast<char>(pad));
      break;
    case ISO10126_PADDING:
      if (pad != 8) data->append(pad, static_cast<char>(pad));
      break;
    case RANDOM_PADDING:
      if (pad != 8) *data += RandomBytes(pad);
      break;
    default:  // ZERO_PADDING
      if (pad != 8) data->append(pad, '\0');
      break;
  }
}

// Whether the last `pad` bytes all hold the value `pad`.
bool EndsInPad(const Bytes& data, size_t pad) {
  if (pad == 0 || pad > data.size()) return false;
  for (size_t i = data.size() - pad; i < data.size(); ++i)
    if (static_cast<unsigned char>(data[i]) != pad) return false;
  return true;
}

DWORD RemovePadding(DWORD padding, Bytes* data) {
  if (data->empty()) return 0;
  const size_t pad = static_cast<unsigned char>(data->back());
  if (padding == PKCS5_PADDING) {
    if (pad > 8 || !EndsInPad(*data, pad)) return NTE_BAD_DATA;
    data->resize(data->size() - pad);
  } else if (padding == ISO10126_PADDING && pad < 8 && EndsInPad(*data, pad)) {
    data->resize(data->size() - pad);
  }
  return 0;
}

}  // namespace

// ---- Construction --------------------------------------------------------------

std::unique_ptr<GostKey> GostKey::UserKey(std::shared_ptr<ContainerState> c, DWORD key_spec, ossl::PKeyShared public_key) {
  auto key = std::make_unique<GostKey>(KeyKind::kUserPair, std::move(c));
  key->params_ = ParamsOfKey(public_key.get());
  key->key_spec_ = key_spec;
  key->alg_ = key_spec == AT_SIGNATURE ? key->params_->sign_alg : key->params_->dh_alg;
  key->peer_ = std::move(public_key);
  return key;
}

std::unique_ptr<GostKey> GostKey::UserKey(std::shared_ptr<ContainerState> c, std::shared_ptr<KeyPair> pair) {
  auto key = UserKey(std::move(c), pair->key_spec, pair->pkey);
  key->pair_ = std::move(pair);
  return key;
}

DWORD GostKey::Private(std::shared_ptr<KeyPair>* pair) {
  if (pair_ == nullptr && kind_ == KeyKind::kUserPair)
    if (DWORD rc = container_->LoadKey(key_spec_, &pair_)) return rc;
  if (pair_ == nullptr) return NTE_BAD_KEY_STATE;
  *pair = pair_;
  return 0;
}

std::unique_ptr<GostKey> GostKey::Ephemeral(std::shared_ptr<ContainerState> c, const GostKeyParams& params,
                                            ALG_ID alg, bool pregenerate) {
  auto key = std::make_unique<GostKey>(KeyKind::kEphemeral, std::move(c));
  key->params_ = &params;
  key->alg_ = alg;
  key->paramset_oid_ = params.public_paramset;
  key->hash_oid_ = params.hash_paramset;
  if (pregenerate) {
    key->pending_ = true;
    return key;
  }
  ossl::PKeyPtr pkey = GenerateKey(params, {});
  if (pkey == nullptr) return nullptr;
  key->pair_ = std::make_shared<KeyPair>(KeyPair{ossl::Share(std::move(pkey)), &params, 0, true});
  return key;
}

std::unique_ptr<GostKey> GostKey::Public(std::shared_ptr<ContainerState> c, ossl::PKeyShared pub, ALG_ID alg) {
  auto key = std::make_unique<GostKey>(KeyKind::kPublic, std::move(c));
  key->params_ = ParamsOfKey(pub.get());
  key->alg_ = alg != 0 ? alg : key->params_->sign_alg;
  key->peer_ = std::move(pub);
  return key;
}

std::unique_ptr<GostKey> GostKey::Agreement(const GostKey& own, std::shared_ptr<KeyPair> own_pair, ossl::PKeyShared peer) {
  auto key = std::make_unique<GostKey>(KeyKind::kAgreement, own.container_);
  key->params_ = own.params_;
  key->alg_ = own.alg_;
  key->pair_ = std::move(own_pair);
  key->peer_ = std::move(peer);
  return key;
}

std::unique_ptr<GostKey> GostKey::Session(std::shared_ptr<ContainerState> c, Bytes secret, std::string paramset) {
  auto key = std::make_unique<GostKey>(KeyKind::kSession, std::move(c));
  key->alg_ = CALG_G28147;
  key->secret_ = std::move(secret);
  key->cipher_paramset_ = std::move(paramset);
  return key;
}

// ---- Parameters ---------------------------------------------------------------

DWORD GostKey::GetParam(DWORD param, Bytes* value) {
  switch (param) {
    case KP_ALGID:
      *value = DwordBytes(kind_ == KeyKind::kAgreement ? export_alg_ : alg_);
      return 0;
    case KP_IV:
      *value = iv_.empty() ? Bytes(8, '\0') : iv_;
      return 0;
    case KP_MODE:
      if (kind_ != KeyKind::kSession) return NTE_BAD_TYPE;
      *value = DwordBytes(mode_);
      return 0;
    case KP_PADDING:
      if (kind_ != KeyKind::kSession) return NTE_BAD_TYPE;
      *value = DwordBytes(padding_);
      return 0;
    case KP_BLOCKLEN:
      *value = DwordBytes(kind_ == KeyKind::kSession ? 64 : 0);
      return 0;
    case KP_KEYLEN:
      *value = DwordBytes(kind_ == KeyKind::kSession ? 256 : static_cast<DWORD>(params_->bit_length));
      return 0;
    case KP_HASHOID:
      *value = (hash_oid_.empty() && params_ != nullptr ? std::string(params_->hash_paramset) : hash_oid_) + '\0';
      return 0;
    case KP_DHOID:
      *value = (paramset_oid_.empty() && params_ != nullptr ? std::string(params_->public_paramset) : paramset_oid_) + '\0';
      return 0;
    case KP_CIPHEROID:
      *value = (kind_ == KeyKind::kSession ? cipher_paramset_
                                           : std::string(params_ != nullptr ? params_->cipher_paramset : "")) + '\0';
      return 0;
    case KP_CERTIFICATE: {
      if (kind_ != KeyKind::kUserPair || !container_->location()) return NTE_BAD_TYPE;
      if (!KeyContainerFolder(container_->location()->folder).ReadCertificate(key_spec_, value))
        return SCARD_E_NO_SUCH_CERTIFICATE;
      return 0;
    }
    default:
      return NTE_BAD_TYPE;
  }
}

DWORD GostKey::SetParam(DWORD param, const Bytes& value) {
  DWORD number = 0;
  switch (param) {
    case KP_IV:
      if (value.size() != 8) return NTE_BAD_DATA;
      iv_ = value;
      cipher_.reset();
      return 0;
    case KP_MODE:
      if (kind_ != KeyKind::kSession || !ReadDword(value, &number)) return NTE_BAD_DATA;
      if (number != CRYPT_MODE_CBC && number != CRYPT_MODE_CFB) return NTE_BAD_DATA;
      mode_ = number;
      cipher_.reset();
      return 0;
    case KP_PADDING:
      if (kind_ != KeyKind::kSession || !ReadDword(value, &number)) return NTE_BAD_DATA;
      if (number < PKCS5_PADDING || number > ISO10126_PADDING) return NTE_BAD_DATA;
      padding_ = number;
      return 0;
    case KP_ALGID:
    case KP_EXPORT_ALGID:
      if (!ReadDword(value, &number)) return NTE_BAD_DATA;
      if (kind_ != KeyKind::kAgreement) return NTE_BAD_KEY;
      if (number != CALG_PRO_EXPORT && number != CALG_PRO12_EXPORT && number != CALG_SIMPLE_EXPORT &&
          number != CALG_G28147)
        return NTE_BAD_ALGID;
      export_alg_ = number == CALG_G28147 ? CALG_PRO_EXPORT : number;
      return 0;
    case KP_HASHOID:
      hash_oid_ = ParamText(value);
      return 0;
    case KP_DHOID:
      if (kind_ != KeyKind::kEphemeral || !pending_) return NTE_BAD_KEY_STATE;
      paramset_oid_ = ParamText(value);
      return 0;
    case KP_CIPHEROID:
      if (kind_ != KeyKind::kSession) return NTE_BAD_TYPE;
      cipher_paramset_ = ParamText(value);
      cipher_.reset();
      return 0;
    case KP_X: {
      // Completes an ephemeral key made with CRYPT_PREGEN.
      if (kind_ != KeyKind::kEphemeral || !pending_) return NTE_BAD_KEY_STATE;
      ossl::PKeyPtr pkey = GenerateKey(*params_, paramset_oid_);
      if (pkey == nullptr) return NTE_BAD_DATA;
      pair_ = std::make_shared<KeyPair>(KeyPair{ossl::Share(std::move(pkey)), params_, 0, true});
      pending_ = false;
      return 0;
    }
    case KP_CERTIFICATE: {
      if (kind_ != KeyKind::kUserPair || !container_->location()) return NTE_BAD_TYPE;
      const size_t size = ber::DefiniteElementSize(value);
      if (size == 0) return NTE_BAD_DATA;
      const Bytes der = value.substr(0, size);
      if (CertContext::Decode(der) == nullptr) return NTE_BAD_DATA;
      if (!KeyContainerFolder(container_->location()->folder).WriteCertificate(key_spec_, der)) return NTE_PERM;
      return 0;
    }
    default:
      return NTE_BAD_TYPE;
  }
}

// ---- Export and import -------------------------------------------------------

DWORD GostKey::ExportPublicBlob(Bytes* blob) const {
  EVP_PKEY* pkey = pair_ ? pair_->pkey.get() : peer_.get();
  CERT_PUBLIC_KEY_INFO info;
  if (pkey == nullptr || !PublicKeyInfoOf(pkey, &info)) return NTE_BAD_KEY_STATE;
  const Bytes point = PublicKeyPoint(info);
  *blob = BlobHeader(PUBLICKEYBLOB, alg_);
  PutU32(*blob, GR3410_1_MAGIC);
  PutU32(*blob, params_->bit_length);
  *blob += info.Algorithm.Parameters + point;
  return 0;
}

DWORD GostKey::Agreed(const Bytes& ukm, Bytes* kek) const {
  if (kind_ != KeyKind::kAgreement || pair_ == nullptr || peer_ == nullptr) return NTE_BAD_KEY;
  return AgreeKey(pair_->pkey.get(), peer_.get(), ukm, kek) ? 0 : NTE_BAD_KEY;
}

DWORD GostKey::ExportSimpleBlob(const GostKey& agreement, Bytes* blob) const {
  const Bytes ukm = agreement.iv_.size() == 8 ? agreement.iv_ : RandomBytes(8);
  Bytes kek, encrypted, mac;
  if (DWORD rc = agreement.Agreed(ukm, &kek)) return rc;
  if (!WrapKey(agreement.export_alg_, kek, cipher_paramset_, ukm, secret_, &encrypted, &mac)) return NTE_BAD_KEY;
  *blob = BlobHeader(SIMPLEBLOB, CALG_G28147);
  PutU32(*blob, G28147_MAGIC);
  PutU32(*blob, CALG_G28147);
  *blob += ukm + encrypted + mac + gost28147::EncodeParamSet(cipher_paramset_);
  return 0;
}

DWORD GostKey::ExportPrivateBlob(const GostKey& agreement, Bytes* blob) const {
  if (pair_ == nullptr || !pair_->exportable) return NTE_BAD_KEY_STATE;
  const Bytes pkcs8 = PrivateKeyToPkcs8(pair_->pkey.get(), {});
  const std::string paramset = params_->cipher_paramset;
  const Bytes ukm = RandomBytes(8);
  const Bytes cek = RandomBytes(32);
  Bytes kek, wrapped, mac, body;
  if (DWORD rc = agreement.Agreed(ukm, &kek)) return rc;
  if (pkcs8.empty() || !WrapKey(agreement.export_alg_, kek, paramset, ukm, cek, &wrapped, &mac) ||
      !gost28147::EncryptCfb(cek, paramset, ukm, pkcs8, &body))
    return NTE_BAD_KEY;
  *blob = BlobHeader(PRIVATEKEYBLOB, alg_);
  PutU32(*blob, kPrivateBlobMagic);
  PutU32(*blob, pair_->key_spec);
  *blob += ukm + wrapped + mac;
  PutU32(*blob, static_cast<uint32_t>(body.size()));
  *blob += body;
  return 0;
}

DWORD GostKey::Export(Key* exp_key, DWORD blob_type, DWORD, Bytes* blob) {
  auto* agreement = dynamic_cast<GostKey*>(exp_key);
  switch (blob_type) {
    case PUBLICKEYBLOB:
      if (kind_ == KeyKind::kSession || kind_ == KeyKind::kAgreement || pending_) return NTE_BAD_KEY;
      return ExportPublicBlob(blob);
    case SIMPLEBLOB:
      if (kind_ != KeyKind::kSession) return NTE_BAD_KEY;
      if (agreement == nullptr || agreement->kind_ != KeyKind::kAgreement) return NTE_BAD_KEY;
      return ExportSimpleBlob(*agreement, blob);
    case PRIVATEKEYBLOB: {
      if (kind_ != KeyKind::kUserPair && kind_ != KeyKind::kEphemeral) return NTE_BAD_KEY;
      if (agreement == nullptr || agreement->kind_ != KeyKind::kAgreement) return NTE_BAD_KEY;
      std::shared_ptr<KeyPair> pair;
      if (DWORD rc = Private(&pair)) return rc;
      return ExportPrivateBlob(*agreement, blob);
    }
    default:
      return NTE_BAD_TYPE;
  }
}

DWORD GostKey::ImportWrapped(const Bytes& blob, DWORD flags, std::unique_ptr<Key>* key) {
  if (kind_ != KeyKind::kAgreement) return NTE_BAD_KEY;
  if (blob.size() < 16 || static_cast<unsigned char>(blob[1]) != CUR_BLOB_VERSION) return NTE_BAD_DATA;
  if (blob[0] == SIMPLEBLOB) {
    // header(8) magic(4) cipher(4) ukm(8) key(32) mac(4) parameter set
    if (blob.size() < 62 || GetU32(blob, 4) != CALG_G28147 || GetU32(blob, 8) != G28147_MAGIC ||
        GetU32(blob, 12) != CALG_G28147)
      return NTE_BAD_DATA;
    const std::string paramset = gost28147::DecodeParamSet(blob.substr(60));
    if (paramset.empty()) return NTE_BAD_DATA;
    const Bytes ukm = blob.substr(16, 8);
    Bytes kek, secret;
    if (DWORD rc = Agreed(ukm, &kek)) return rc;
    if (!UnwrapKey(export_alg_, kek, paramset, ukm, blob.substr(24, 32), blob.substr(56, 4), &secret))
      return NTE_BAD_DATA;
    *key = Session(container_, std::move(secret), paramset);
    return 0;
  }
  if (blob[0] == PRIVATEKEYBLOB) {
    // header(8) magic(4) key spec(4) ukm(8) key(32) mac(4) length(4) body
    if (blob.size() < 64 || GetU32(blob, 8) != kPrivateBlobMagic) return NTE_BAD_DATA;
    const DWORD key_spec = GetU32(blob, 12);
    const Bytes ukm = blob.substr(16, 8);
    const uint32_t length = GetU32(blob, 60);
    if (length != blob.size() - 64 || (key_spec != AT_KEYEXCHANGE && key_spec != AT_SIGNATURE)) return NTE_BAD_DATA;
    const GostKeyParams* params = KeyParamsForAlgId(GetU32(blob, 4));
    if (params == nullptr) return NTE_BAD_DATA;
    Bytes kek, cek, plain;
    if (DWORD rc = Agreed(ukm, &kek)) return rc;
    if (!UnwrapKey(export_alg_, kek, params->cipher_paramset, ukm, blob.substr(24, 32), blob.substr(56, 4), &cek) ||
        !gost28147::DecryptCfb(cek, params->cipher_paramset, ukm, blob.substr(64), &plain))
      return NTE_BAD_DATA;
    ossl::PKeyPtr pkey = PrivateKeyFromPkcs8(plain, {}, nullptr);
    OPENSSL_cleanse(plain.data(), plain.size());
    if (pkey == nullptr || ParamsOfKey(pkey.get()) == nullptr) return NTE_BAD_DATA;
    auto pair = std::make_shared<KeyPair>(
        KeyPair{ossl::Share(std::move(pkey)), nullptr, key_spec, (flags & CRYPT_EXPORTABLE) != 0});
    pair->params = ParamsOfKey(pair->pkey.get());
    if (container_->location())
      if (DWORD rc = container_->StoreKey(key_spec, pair)) return rc;
    *key = UserKey(container_, pair);
    return 0;
  }
  return NTE_BAD_TYPE;
}

// ---- Encryption -----------------------------------------------------------------

DWORD GostKey::StartCipher(bool encrypt) {
  const EVP_CIPHER* cipher = ossl::CipherByName(mode_ == CRYPT_MODE_CBC ? "gost89-cbc" : "gost89");
  if (cipher == nullptr) return NTE_BAD_ALGID;
  const Bytes iv = iv_.empty() ? Bytes(8, '\0') : iv_;
  ossl::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  const bool ok = EVP_CipherInit_ex(ctx.get(), cipher, nullptr, nullptr, nullptr, encrypt ? 1 : 0) == 1 &&
                  EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_SET_SBOX, 0, const_cast<char*>(cipher_paramset_.c_str())) > 0 &&
                  EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, ossl::Data(secret_), ossl::Data(iv), -1) == 1 &&
                  EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1;
  ossl::ClearErrors();
  if (!ok) return NTE_BAD_KEY;
  cipher_ = std::move(ctx);
  cipher_encrypt_ = encrypt;
  return 0;
}

DWORD GostKey::Crypt(bool encrypt, bool final, Bytes* data) {
  if (kind_ != KeyKind::kSession) return NTE_BAD_KEY;
  if (cipher_ == nullptr || cipher_encrypt_ != encrypt)
    if (DWORD rc = StartCipher(encrypt)) return rc;
  const bool cbc = mode_ == CRYPT_MODE_CBC;
  if (cbc && encrypt && final) AddPadding(padding_, data);
  if (cbc && data->size() % 8 != 0) {
    cipher_.reset();
    return NTE_BAD_DATA;
  }
  // In place: the engine reads each block before it writes that block, and
  // pieces of eight bytes cost no buffer of their own.
  auto* bytes = reinterpret_cast<unsigned char*>(data->data());
  int len = 0;
  const bool ok = data->empty() ||
                  EVP_CipherUpdate(cipher_.get(), bytes, &len, bytes, static_cast<int>(data->size())) == 1;
  if (!ok || static_cast<size_t>(len) != data->size()) {
    ossl::ClearErrors();  // only here: clearing the queue costs more than a block
    cipher_.reset();
    return NTE_BAD_DATA;
  }
  if (final) cipher_.reset();  // the next message starts again from the vector
  if (cbc && !encrypt && final) return RemovePadding(padding_, data);
  return 0;
}

DWORD GostKey::Encrypt(bool final, Bytes* data) { return Crypt(true, final, data); }
DWORD GostKey::Decrypt(bool final, Bytes* data) { return Crypt(false, final, data); }

}  // namespace zuntar::csp
