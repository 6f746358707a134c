#include "platform/capi/msg/msg_algorithms.h"

#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/asn1/der_writer.h"
#include "platform/capi/base/ossl.h"

namespace zuntar {

namespace {

struct Entry {
  const char* oid;  // hash or signature OID
  MsgHashAlgorithm hash;
};

constexpr MsgHashAlgorithm kStreebog256{"1.2.643.7.1.1.2.2", CALG_GR3411_2012_256, "md_gost12_256"};
constexpr MsgHashAlgorithm kStreebog512{"1.2.643.7.1.1.2.3", CALG_GR3411_2012_512, "md_gost12_512"};
constexpr MsgHashAlgorithm kGost94{"1.2.643.2.2.9", CALG_GR3411, "md_gost94"};

const Entry kEntries[] = {
    {"1.2.643.7.1.1.2.2", kStreebog256}, {"1.2.643.7.1.1.3.2", kStreebog256},
    {"1.2.643.7.1.1.2.3", kStreebog512}, {"1.2.643.7.1.1.3.3", kStreebog512},
    {"1.2.643.2.2.9", kGost94},          {"1.2.643.2.2.3", kGost94},
};

}  // namespace

const MsgHashAlgorithm* HashForOid(const std::string& oid) {
  for (const Entry& e : kEntries)
    if (oid == e.oid) return &e.hash;
  return nullptr;
}

const MsgHashAlgorithm* HashForKey(const std::string& key_oid) {
  if (key_oid == szOID_CP_GOST_R3410_12_512) return &kStreebog512;
  if (key_oid == szOID_CP_GOST_R3410_12_256) return &kStreebog256;
  if (key_oid == szOID_CP_GOST_R3410EL) return &kGost94;
  return nullptr;
}

const EVP_MD* DigestOf(const MsgHashAlgorithm& hash) { return ossl::DigestByName(hash.md_name); }

size_t SignatureSizeForKey(const std::string& key_oid) {
  if (key_oid == szOID_CP_GOST_R3410_12_512) return 128;
  if (key_oid == szOID_CP_GOST_R3410_12_256 || key_oid == szOID_CP_GOST_R3410EL) return 64;
  return 0;
}

Bytes AlgorithmWithNull(const std::string& oid) {
  return ber::Wrap(ber::kSequence, ber::Oid(oid) + Bytes("\x05\x00", 2));
}

}  // namespace zuntar
