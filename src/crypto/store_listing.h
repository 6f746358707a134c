// The certificates of the personal stores as the manager lists them, kept
// between listings while the stores show no change.
//
// A listing reads both files of every certificate in the current user's
// and the machine's "My" stores; pages list the same certificates again and
// again, and the stores rarely change. The folders' stamps (store_files.h)
// tell whether they did: a kept listing is used only when both stamps
// equal those taken before it was read, and only stamps that were settled
// then count, so a change is always seen by the next listing.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/capi/cert/store_files.h"
#include "platform/thread_annotations.h"

namespace zuntar {

class StoreListingCache {
 public:
  using Bodies = std::vector<std::string>;

  // The bodies of certificates linked to a key container (`linked_only`)
  // or of all: kept ones when neither store changed since they were read,
  // else what `read` lists now.
  std::shared_ptr<const Bodies> Get(bool linked_only, const std::function<Bodies()>& read);

 private:
  struct Stamps {
    FolderStamp user, machine;
    bool Settled() const { return user.settled && machine.settled; }
    bool Same(const Stamps& other) const {
      return user.SameFolderState(other.user) && machine.SameFolderState(other.machine);
    }
  };
  struct Kept {
    Stamps stamps;
    std::shared_ptr<const Bodies> bodies;
  };

  static Stamps StampsNow();

  Mutex mu_;
  std::optional<Kept> kept_[2] GUARDED_BY(mu_);  // all, linked only
};

}  // namespace zuntar
