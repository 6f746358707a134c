#include "platform/capi/csp/pfx_reader.h"

#include <openssl/crypto.h>
#include <openssl/hmac.h>

#include <string_view>
#include <vector>

#include "platform/capi/asn1/ber_reader.h"

namespace zuntar {
namespace {

// Far above what exporters write (2048 to a few hundred thousand); a file
// asking for more is not one of theirs, and would keep the reader busy.
constexpr long kMaxIterations = 10000000;
constexpr size_t kMaxMasks = 16;

// The MAC of a PFX and the octets it covers (the authSafe's content).
struct MacData {
  bool present = false;
  std::string digest_oid;
  Bytes mac, salt, content;
  long iterations = 1;
};

// The octets of an OCTET STRING, primitive or constructed of pieces.
bool Octets(const ber::Element& e, Bytes* out, int depth = 0) {
  if (e.tag == ber::kOctetString) {
    *out += e.content;
    return true;
  }
  if (e.tag != 0x24 || depth > 8) return false;
  ber::Reader r(e.content);
  while (!r.empty()) {
    ber::Element piece;
    if (!r.Next(&piece) || !Octets(piece, out, depth + 1)) return false;
  }
  return true;
}

// PFX { version, authSafe ContentInfo { data, [0] OCTET STRING },
// MacData { DigestInfo { algorithm, digest }, salt, iterations } }.
bool ParseMacData(const Bytes& der, MacData* m) {
  ber::Reader outer(der);
  ber::Element pfx, version, auth_safe, type, explicit_content, octets, mac_data;
  if (!outer.Expect(ber::kSequence, &pfx) || !outer.empty()) return false;
  ber::Reader r(pfx.content);
  if (!r.Expect(ber::kInteger, &version) || !r.Expect(ber::kSequence, &auth_safe)) return false;
  ber::Reader a(auth_safe.content);
  if (!a.Expect(ber::kOid, &type) || !a.Expect(ber::kContext0, &explicit_content)) return false;
  ber::Reader c(explicit_content.content);
  if (!c.Next(&octets) || !Octets(octets, &m->content)) return false;
  if (r.empty()) return true;
  if (!r.Expect(ber::kSequence, &mac_data) || !r.empty()) return false;
  ber::Reader d(mac_data.content);
  ber::Element digest_info, algorithm, oid, digest, salt, iterations;
  if (!d.Expect(ber::kSequence, &digest_info) || !d.Expect(ber::kOctetString, &salt)) return false;
  ber::Reader di(digest_info.content);
  if (!di.Expect(ber::kSequence, &algorithm) || !di.Expect(ber::kOctetString, &digest)) return false;
  ber::Reader al(algorithm.content);
  if (!al.Expect(ber::kOid, &oid)) return false;
  if (d.Expect(ber::kInteger, &iterations)) {
    if (iterations.content.empty() || iterations.content.size() > 4 || (iterations.content[0] & 0x80) != 0) return false;
    m->iterations = 0;
    for (char byte : iterations.content) m->iterations = (m->iterations << 8) | static_cast<unsigned char>(byte);
  }
  m->present = true;
  m->digest_oid = ber::OidFromContent(oid.content);
  m->mac = Bytes(digest.content);
  m->salt = Bytes(salt.content);
  return !m->digest_oid.empty() && d.empty();
}

const EVP_MD* GostMacDigest(const std::string& oid) {
  if (oid == "1.2.643.2.2.9") return ossl::DigestByName("md_gost94");
  if (oid == "1.2.643.7.1.1.2.2") return ossl::DigestByName("md_gost12_256");
  if (oid == "1.2.643.7.1.1.2.3") return ossl::DigestByName("md_gost12_512");
  return nullptr;
}

bool HmacMatches(const EVP_MD* md, const Bytes& key, const MacData& m) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  const bool ok = HMAC(md, key.data(), static_cast<int>(key.size()), ossl::Data(m.content), m.content.size(), out,
                       &len) != nullptr;
  return ok && len == m.mac.size() && CRYPTO_memcmp(out, m.mac.data(), len) == 0;
}

// The two forms of the MAC key of GOST files (see the header).
bool GostMacMatches(const EVP_MD* md, const std::string& password, const MacData& m) {
  Bytes derived(96, '\0');
  const int salt_len = static_cast<int>(m.salt.size());
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), ossl::Data(m.salt), salt_len,
                        static_cast<int>(m.iterations), md, 96, reinterpret_cast<unsigned char*>(derived.data())) == 1 &&
      HmacMatches(md, derived.substr(64), m))
    return true;
  Bytes key(static_cast<size_t>(EVP_MD_get_size(md)), '\0');
  Bytes salt = m.salt;
  return PKCS12_key_gen_utf8(password.c_str(), static_cast<int>(password.size()),
                             reinterpret_cast<unsigned char*>(salt.data()), salt_len,
                             PKCS12_MAC_ID, static_cast<int>(m.iterations), static_cast<int>(key.size()),
                             reinterpret_cast<unsigned char*>(key.data()), md) == 1 &&
         HmacMatches(md, key, m);
}

// The privateKey octets of a GOST key in a form the engine reads safely:
// little-endian octets (OCTET STRING of 32 or 64 bytes), an INTEGER, or the
// masked form (the key and its masks, bare or in a SEQUENCE with the public
// key). Other keys are OpenSSL's own business.
bool GostKeyFormReadable(const PKCS8_PRIV_KEY_INFO* p8) {
  const ASN1_OBJECT* obj = nullptr;
  const unsigned char* data = nullptr;
  int len = 0;
  const X509_ALGOR* alg = nullptr;
  if (PKCS8_pkey_get0(&obj, &data, &len, &alg, p8) != 1 || len < 0) return false;
  const std::string oid = ossl::OidText(obj);
  const size_t key_len = oid == "1.2.643.2.2.19" || oid == "1.2.643.2.2.98" || oid == "1.2.643.7.1.1.1.1" ? 32
                         : oid == "1.2.643.7.1.1.1.2"                                                      ? 64
                                                                                                           : 0;
  if (key_len == 0) return true;
  const auto masked = [key_len](size_t size) { return size > 0 && size % key_len == 0 && size / key_len <= kMaxMasks; };
  const size_t size = static_cast<size_t>(len);
  // The engine takes any length that is a multiple of the key's as masked.
  if (size % key_len == 0) return masked(size);
  ber::Reader r(std::string_view(reinterpret_cast<const char*>(data), size));
  ber::Element e;
  if (r.Expect(ber::kOctetString, &e)) return r.empty() && (e.content.size() == 32 || e.content.size() == 64);
  if (r.Expect(ber::kInteger, &e)) return r.empty() && !e.content.empty() && e.content.size() <= key_len + 1;
  if (!r.Expect(ber::kSequence, &e) || !r.empty()) return false;
  ber::Reader s(e.content);
  ber::Element masked_key;
  return s.Expect(ber::kOctetString, &masked_key) && masked(masked_key.content.size());
}

// What the bags hold.
struct Bags {
  std::vector<ossl::Pkcs8InfoPtr> keys;
  std::vector<ossl::X509Ptr> certs;
};

using SafeBags = STACK_OF(PKCS12_SAFEBAG);

void FreeBags(SafeBags* bags) { sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free); }
void FreeSafes(STACK_OF(PKCS7) * safes) { sk_PKCS7_pop_free(safes, PKCS7_free); }

// False when a shrouded key does not decrypt.
bool CollectBags(const SafeBags* bags, const std::string& password, Bags* out, int depth = 0) {
  for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
    const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
    switch (PKCS12_SAFEBAG_get_nid(bag)) {
      case NID_keyBag:
        out->keys.emplace_back(static_cast<PKCS8_PRIV_KEY_INFO*>(
            ASN1_item_dup(ASN1_ITEM_rptr(PKCS8_PRIV_KEY_INFO), PKCS12_SAFEBAG_get0_p8inf(bag))));
        break;
      case NID_pkcs8ShroudedKeyBag: {
        ossl::Pkcs8InfoPtr p8(PKCS12_decrypt_skey(bag, password.c_str(), static_cast<int>(password.size())));
        if (p8 == nullptr) return false;
        out->keys.push_back(std::move(p8));
        break;
      }
      case NID_certBag:
        if (PKCS12_SAFEBAG_get_bag_nid(bag) == NID_x509Certificate)
          if (X509* x = PKCS12_SAFEBAG_get1_cert(bag)) out->certs.emplace_back(x);
        break;
      case NID_safeContentsBag:
        if (depth < 4 && !CollectBags(PKCS12_SAFEBAG_get0_safes(bag), password, out, depth + 1)) return false;
        break;
      default:
        break;
    }
  }
  return true;
}

PfxFailure Fail(PfxFailure failure, const std::string& text, std::string* why) {
  ossl::ClearErrors();
  *why = text;
  return failure;
}

// Checks the MAC; kNone when it matches or the file has none.
PfxFailure CheckMac(PKCS12* p12, const MacData& m, const std::string& password, std::string* why) {
  if (!m.present) return PfxFailure::kNone;
  if (m.iterations < 1 || m.iterations > kMaxIterations)
    return Fail(PfxFailure::kFormat, "its integrity check asks for " + std::to_string(m.iterations) + " iterations",
                why);
  if (const EVP_MD* md = GostMacDigest(m.digest_oid)) {
    if (GostMacMatches(md, password, m)) return PfxFailure::kNone;
  } else {
    const ossl::Asn1ObjectPtr oid(OBJ_txt2obj(m.digest_oid.c_str(), 1));
    if (oid == nullptr || EVP_get_digestbyobj(oid.get()) == nullptr)
      return Fail(PfxFailure::kFormat, "its integrity check uses an unknown digest " + m.digest_oid, why);
    if (PKCS12_verify_mac(p12, password.c_str(), static_cast<int>(password.size())) == 1 ||
        (password.empty() && PKCS12_verify_mac(p12, nullptr, 0) == 1))
      return PfxFailure::kNone;
  }
  return Fail(PfxFailure::kPassword, "wrong password (the file's integrity check does not match it)", why);
}

}  // namespace

PfxFailure ReadPfx(const Bytes& der, const std::string& password, PfxContents* out, std::string* why) {
  ossl::EnsureGostEngine();
  const unsigned char* p = ossl::Data(der);
  const ossl::Pkcs12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(der.size())));
  MacData mac;
  if (p12 == nullptr || !ParseMacData(der, &mac)) return Fail(PfxFailure::kFormat, "not a PKCS #12 file", why);
  if (PfxFailure f = CheckMac(p12.get(), mac, password, why); f != PfxFailure::kNone) return f;
  // Without a MAC a bag that does not decrypt may mean either reason.
  const PfxFailure undecryptable = mac.present ? PfxFailure::kFormat : PfxFailure::kPassword;
  const std::string cannot_decrypt = mac.present ? "the password is right, but its bags use an encryption this "
                                                   "reader does not know"
                                                 : "its bags do not decrypt with this password";
  const std::unique_ptr<STACK_OF(PKCS7), decltype(&FreeSafes)> safes(PKCS12_unpack_authsafes(p12.get()), FreeSafes);
  if (safes == nullptr) return Fail(PfxFailure::kFormat, "not a PKCS #12 file (its contents do not decode)", why);
  Bags bags;
  for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
    PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
    const int type = OBJ_obj2nid(p7->type);
    std::unique_ptr<SafeBags, decltype(&FreeBags)> list(nullptr, FreeBags);
    if (type == NID_pkcs7_data)
      list.reset(PKCS12_unpack_p7data(p7));
    else if (type == NID_pkcs7_encrypted)
      list.reset(PKCS12_unpack_p7encdata(p7, password.c_str(), static_cast<int>(password.size())));
    else
      continue;  // enveloped safe contents: not a form exporters use
    if (list == nullptr || !CollectBags(list.get(), password, &bags)) return Fail(undecryptable, cannot_decrypt, why);
  }
  for (const ossl::Pkcs8InfoPtr& p8 : bags.keys) {
    if (p8 == nullptr || !GostKeyFormReadable(p8.get()))
      return Fail(PfxFailure::kFormat, "its private key is in a form this reader does not know", why);
    ossl::PKeyPtr key(EVP_PKCS82PKEY(p8.get()));
    if (key == nullptr) return Fail(PfxFailure::kFormat, "its private key does not decode", why);
    for (const ossl::X509Ptr& cert : bags.certs) {
      if (EVP_PKEY_eq(X509_get0_pubkey(cert.get()), key.get()) != 1) continue;
      out->cert = ossl::ToDer(i2d_X509, cert.get());
      out->key = std::move(key);
      ossl::ClearErrors();
      return PfxFailure::kNone;
    }
  }
  return Fail(PfxFailure::kFormat, bags.keys.empty() ? "it holds no private key" : "it holds no certificate of its key",
              why);
}

}  // namespace zuntar
