#include "platform/capi/gost/gost28147.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>

#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/asn1/der_writer.h"
#include "platform/capi/base/ossl.h"

namespace zuntar::gost28147 {
namespace {

// The engine's MAC digest control that sets the key (EVP_MD_CTRL_SET_KEY
// of the engine's own headers, which the package does not install).
constexpr int kMacCtrlSetKey = EVP_MD_CTRL_ALG_CTRL + 4;

bool Crypt(const char* cipher_name, const Bytes& key, const std::string& paramset, const Bytes& iv, const Bytes& in,
           bool encrypt, Bytes* out) {
  const EVP_CIPHER* cipher = ossl::CipherByName(cipher_name);
  if (cipher == nullptr || key.size() != kKeySize || (!iv.empty() && iv.size() != kBlockSize)) return false;
  ossl::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  const Bytes zero_iv(kBlockSize, '\0');
  bool ok = EVP_CipherInit_ex(ctx.get(), cipher, nullptr, nullptr, nullptr, encrypt ? 1 : 0) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_SET_SBOX, 0, const_cast<char*>(paramset.c_str())) > 0 &&
            EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, ossl::Data(key), ossl::Data(iv.empty() ? zero_iv : iv),
                              -1) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1;
  out->assign(in.size() + kBlockSize, '\0');
  int len = 0, final_len = 0;
  ok = ok &&
       EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out->data()), &len, ossl::Data(in),
                        static_cast<int>(in.size())) == 1 &&
       EVP_CipherFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(out->data()) + len, &final_len) == 1;
  out->resize(ok ? static_cast<size_t>(len + final_len) : 0);
  ossl::ClearErrors();
  return ok;
}

bool CryptEcb(const Bytes& key, const std::string& paramset, const Bytes& in, bool encrypt, Bytes* out) {
  if (in.size() % kBlockSize != 0) return false;
  out->clear();
  // One CBC block with a zero vector is one ECB block.
  for (size_t i = 0; i < in.size(); i += kBlockSize) {
    Bytes block;
    if (!Crypt("gost89-cbc", key, paramset, {}, in.substr(i, kBlockSize), encrypt, &block)) return false;
    *out += block;
  }
  return true;
}

// Key diversification of RFC 4357, 6.5.
bool Diversify(const Bytes& kek, const std::string& paramset, const Bytes& ukm, Bytes* out) {
  Bytes key = kek;
  for (int i = 0; i < 8; ++i) {
    uint32_t s1 = 0, s2 = 0;
    for (int j = 0; j < 8; ++j) {
      const uint32_t k = static_cast<unsigned char>(key[4 * j]) | (static_cast<unsigned char>(key[4 * j + 1]) << 8) |
                         (static_cast<unsigned char>(key[4 * j + 2]) << 16) |
                         (static_cast<uint32_t>(static_cast<unsigned char>(key[4 * j + 3])) << 24);
      if (static_cast<unsigned char>(ukm[i]) & (1u << j))
        s1 += k;
      else
        s2 += k;
    }
    Bytes iv(8, '\0');
    for (int b = 0; b < 4; ++b) {
      iv[b] = static_cast<char>((s1 >> (8 * b)) & 0xFF);
      iv[4 + b] = static_cast<char>((s2 >> (8 * b)) & 0xFF);
    }
    Bytes next;
    if (!EncryptCfb(key, paramset, iv, key, &next)) return false;
    key = next;
  }
  *out = key;
  return true;
}

}  // namespace

bool EncryptEcb(const Bytes& key, const std::string& paramset, const Bytes& in, Bytes* out) {
  return CryptEcb(key, paramset, in, true, out);
}

bool DecryptEcb(const Bytes& key, const std::string& paramset, const Bytes& in, Bytes* out) {
  return CryptEcb(key, paramset, in, false, out);
}

bool EncryptCfb(const Bytes& key, const std::string& paramset, const Bytes& iv, const Bytes& in, Bytes* out) {
  return Crypt("gost89", key, paramset, iv, in, true, out);
}

bool DecryptCfb(const Bytes& key, const std::string& paramset, const Bytes& iv, const Bytes& in, Bytes* out) {
  return Crypt("gost89", key, paramset, iv, in, false, out);
}

bool Mac(const Bytes& key, const std::string& paramset, const Bytes& iv, const Bytes& data, Bytes* mac) {
  // The engine has the MAC for the two parameter sets in use; a vector is the
  // same as xoring it into the first block.
  const char* name = paramset == "1.2.643.2.2.31.1" ? "gost-mac" : paramset == "1.2.643.7.1.2.5.1.1" ? "gost-mac-12" : nullptr;
  const EVP_MD* md = name != nullptr ? ossl::DigestByName(name) : nullptr;
  if (md == nullptr || key.size() != kKeySize || data.empty() || data.size() % kBlockSize != 0 || iv.size() != kBlockSize)
    return false;
  Bytes input = data;
  for (size_t i = 0; i < kBlockSize; ++i) input[i] = static_cast<char>(input[i] ^ iv[i]);
  ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int out_len = 0;
  Bytes key_copy = key;
  const bool ok = EVP_DigestInit_ex(ctx.get(), md, nullptr) == 1 &&
                  EVP_MD_CTX_ctrl(ctx.get(), kMacCtrlSetKey, static_cast<int>(kKeySize), key_copy.data()) > 0 &&
                  EVP_DigestUpdate(ctx.get(), input.data(), input.size()) == 1 &&
                  EVP_DigestFinal_ex(ctx.get(), out, &out_len) == 1 && out_len >= 4;
  OPENSSL_cleanse(key_copy.data(), key_copy.size());
  ossl::ClearErrors();
  if (!ok) return false;
  mac->assign(reinterpret_cast<char*>(out), 4);
  return true;
}

bool WrapSimple(const Bytes& kek, const std::string& paramset, const Bytes& ukm, const Bytes& key, Bytes* encrypted,
                Bytes* mac) {
  return key.size() == kKeySize && ukm.size() == 8 && EncryptEcb(kek, paramset, key, encrypted) &&
         Mac(kek, paramset, ukm, key, mac);
}

bool UnwrapSimple(const Bytes& kek, const std::string& paramset, const Bytes& ukm, const Bytes& encrypted,
                  const Bytes& mac, Bytes* key) {
  Bytes plain, check;
  if (encrypted.size() != kKeySize || ukm.size() != 8 || mac.size() != 4 ||
      !DecryptEcb(kek, paramset, encrypted, &plain) || !Mac(kek, paramset, ukm, plain, &check) ||
      CRYPTO_memcmp(check.data(), mac.data(), 4) != 0)
    return false;
  *key = plain;
  return true;
}

bool WrapCryptoPro(const Bytes& kek, const std::string& paramset, const Bytes& ukm, const Bytes& key,
                   Bytes* encrypted, Bytes* mac) {
  Bytes diversified;
  return kek.size() == kKeySize && ukm.size() == 8 && Diversify(kek, paramset, ukm, &diversified) &&
         WrapSimple(diversified, paramset, ukm, key, encrypted, mac);
}

bool UnwrapCryptoPro(const Bytes& kek, const std::string& paramset, const Bytes& ukm, const Bytes& encrypted,
                     const Bytes& mac, Bytes* key) {
  Bytes diversified;
  return kek.size() == kKeySize && ukm.size() == 8 && Diversify(kek, paramset, ukm, &diversified) &&
         UnwrapSimple(diversified, paramset, ukm, encrypted, mac, key);
}

Bytes EncodeParamSet(const std::string& paramset) {
  // Short lengths only: the blobs that carry the set are read that way.
  const Bytes oid = ber::Oid(paramset);
  if (oid.empty() || oid.size() > 127) return {};
  return ber::Wrap(ber::kSequence, oid);
}

std::string DecodeParamSet(const Bytes& der) {
  if (der.size() < 4 || der[0] != 0x30 || static_cast<unsigned char>(der[1]) != der.size() - 2) return {};
  const unsigned char* p = ossl::Data(der) + 2;
  const ossl::Asn1ObjectPtr obj(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(der.size() - 2)));
  std::string text;
  if (obj != nullptr && p == ossl::Data(der) + der.size()) text = ossl::OidText(obj.get());
  ossl::ClearErrors();
  return text;
}

}  // namespace zuntar::gost28147
