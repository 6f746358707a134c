#include "crypto/store_listing.h"

#include "platform/capi/cert/cert_store.h"

namespace zuntar {

StoreListingCache::Stamps StoreListingCache::StampsNow() {
  return {StoreFolder(SystemStorePath(CERT_SYSTEM_STORE_CURRENT_USER, "My")).Stamp(),
          StoreFolder(SystemStorePath(CERT_SYSTEM_STORE_LOCAL_MACHINE, "My")).Stamp()};
}

std::shared_ptr<const StoreListingCache::Bodies> StoreListingCache::Get(bool linked_only,
                                                                        const std::function<Bodies()>& read) {
  // Taken before the stores are read: a change while they are read makes
  // the next stamps differ.
  const Stamps now = StampsNow();
  std::optional<Kept>& kept = kept_[linked_only ? 1 : 0];
  {
    MutexLock lock(mu_);
    if (kept && kept->stamps.Same(now)) return kept->bodies;
  }
  auto bodies = std::make_shared<const Bodies>(read());
  if (now.Settled()) {
    MutexLock lock(mu_);
    kept = Kept{now, bodies};
  }
  return bodies;
}

}  // namespace zuntar
