#include "platform/capi/csp/gost_module.h"

#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/ossl.h"
#include "platform/capi/csp/container_state.h"
#include "platform/capi/csp/gost_context.h"
#include "platform/capi/csp/key_container.h"
#include "platform/capi/csp/private_key_cache.h"
#include "platform/capi/gost/gost_params.h"
#include "platform/user_prompt.h"

namespace zuntar::csp {
namespace {

class GostModuleImpl : public Module {
 public:
  explicit GostModuleImpl(const Host* host) : host_(*host) {}

  DWORD Acquire(const std::string& container, const std::string& provider_name, DWORD prov_type, DWORD flags,
                std::unique_ptr<Context>* context) override {
    if (KeyParamsForProvType(prov_type) == nullptr) return NTE_BAD_PROV_TYPE;
    ossl::EnsureGostEngine();
    auto state = std::make_shared<ContainerState>(&host_, prov_type,
                                                  provider_name.empty() ? DefaultProviderName(prov_type) : provider_name,
                                                  flags);
    if ((flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
      *context = std::make_unique<GostContext>(state);
      return 0;
    }
    if (container.empty()) return NTE_BAD_KEYSET;
    // Keys of containers whose media went away since the last look are
    // forgotten: the medium that comes back is asked for its PIN again.
    PrivateKeyCache::Process().DropUnreachable();
    if (flags & CRYPT_DELETEKEYSET) {
      const auto found = FindContainer(container);
      if (!found) return NTE_BAD_KEYSET;
      PrivateKeyCache::Process().Drop(found->folder);
      return DeleteContainer(*found) ? 0 : NTE_PERM;
    }
    if (flags & CRYPT_NEWKEYSET) {
      if (FindContainer(container)) return NTE_EXISTS;
      const auto made = CreateContainer(container);
      if (!made) return NTE_BAD_KEYSET;
      state->set_location(*made);
      *context = std::make_unique<GostContext>(state);
      return 0;
    }
    for (;;) {
      if (const auto found = FindContainer(container)) {
        state->set_location(*found);
        *context = std::make_unique<GostContext>(state);
        return 0;
      }
      // Media may be elsewhere: ask, as the provider's own dialog would.
      if (!NamesRemovableOrAnyReader(container)) return NTE_BAD_KEYSET;
      if (flags & CRYPT_SILENT) return NTE_BAD_KEYSET;
      if (!host_.prompt().InsertMedia(container)) return SCARD_W_CANCELLED_BY_USER;
    }
  }

  void DropKeyCache() override { PrivateKeyCache::Process().DropAll(); }
  void SetKeyCacheIdleLimit(uint32_t minutes) override {
    PrivateKeyCache::Process().SetIdleLimit(std::chrono::minutes(minutes));
  }

 private:
  Host host_;
};

}  // namespace

const char* DefaultProviderName(DWORD prov_type) {
  switch (prov_type) {
    case PROV_GOST_2012_256: return "Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider";
    case PROV_GOST_2012_512: return "Crypto-Pro GOST R 34.10-2012 Strong Cryptographic Service Provider";
    default: return "Crypto-Pro GOST R 34.10-2001 Cryptographic Service Provider";
  }
}

Module* GostModule(const Host* host) {
  static GostModuleImpl module(host);
  return &module;
}

}  // namespace zuntar::csp
