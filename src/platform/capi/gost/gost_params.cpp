#include "platform/capi/gost/gost_params.h"

#include <openssl/obj_mac.h>

namespace zuntar {
namespace {

const GostKeyParams kParams[] = {
    {GostKeyKind::k2001, NID_id_GostR3410_2001, "XA", "md_gost94", CALG_GR3410EL, CALG_DH_EL_SF, CALG_DH_EL_EPHEM,
     CALG_GR3411, CALG_PRO_EXPORT, "1.2.643.2.2.31.1", "1.2.643.2.2.30.1", "1.2.643.2.2.19", "1.2.643.2.2.36.0", 64, 512, PROV_GOST_2001_DH},
    {GostKeyKind::k2012_256, NID_id_GostR3410_2012_256, "XA", "md_gost12_256", CALG_GR3410_12_256,
     CALG_DH_GR3410_12_256_SF, CALG_DH_GR3410_12_256_EPHEM, CALG_GR3411_2012_256, CALG_PRO12_EXPORT,
     "1.2.643.7.1.2.5.1.1", "1.2.643.7.1.1.2.2", "1.2.643.7.1.1.1.1", "1.2.643.2.2.36.0", 64, 512, PROV_GOST_2012_256},
    {GostKeyKind::k2012_512, NID_id_GostR3410_2012_512, "A", "md_gost12_512", CALG_GR3410_12_512,
     CALG_DH_GR3410_12_512_SF, CALG_DH_GR3410_12_512_EPHEM, CALG_GR3411_2012_512, CALG_PRO12_EXPORT,
     "1.2.643.7.1.2.5.1.1", "1.2.643.7.1.1.2.3", "1.2.643.7.1.1.1.2", "1.2.643.7.1.2.1.2.1", 128, 1024, PROV_GOST_2012_512},
};

}  // namespace

const GostKeyParams& DefaultKeyParams(GostKeyKind kind) {
  for (const GostKeyParams& p : kParams)
    if (p.kind == kind) return p;
  return kParams[0];
}

const GostKeyParams* KeyParamsForNid(int key_nid) {
  for (const GostKeyParams& p : kParams)
    if (p.key_nid == key_nid) return &p;
  return nullptr;
}

const GostKeyParams* KeyParamsForProvType(DWORD prov_type) {
  for (const GostKeyParams& p : kParams)
    if (p.prov_type == prov_type) return &p;
  return nullptr;
}

const GostKeyParams* KeyParamsForAlgId(ALG_ID alg) {
  for (const GostKeyParams& p : kParams)
    if (p.sign_alg == alg || p.dh_alg == alg || p.ephem_alg == alg) return &p;
  return nullptr;
}

}  // namespace zuntar
