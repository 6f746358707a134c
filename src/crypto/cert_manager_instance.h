// The manager factory, and the holder of the CertificateManager that Start
// creates and every thread of the running plugin uses.
#pragma once

#include <memory>

#include "certs/provider_detection.h"
#include "crypto/cert_manager.h"
#include "platform/thread_annotations.h"

namespace zuntar {

class TVCertMgrCSP;

// A TVCertMgrCSP for kinds 1 (CryptoPro) and 3 (ViPNet); nothing for any
// other kind.
std::unique_ptr<TVCertMgr> NewCertManager(int kind);

// The CertificateManager of a running plugin: none before Start and after a
// failed creation. Every thread shares ownership of what it gets, so a
// Start that replaces the manager never frees it under a thread that still
// works with it.
class SharedCertManager {
 public:
  // Replaces the manager with a new one of that kind (1 at Start), both of
  // its options set, for the machine's `providers`. When that fails there
  // is no manager at all, and the error goes to the caller.
  std::shared_ptr<TVCertMgrCSP> Create(int kind, const ProviderState& providers = ProviderState()) EXCLUDES(mu_);
  std::shared_ptr<TVCertMgr> Get() const EXCLUDES(mu_);
  void Reset() EXCLUDES(mu_);

  // A manager of a task's own, with this manager's options and current
  // certificate: what it is given with SetCertificate stays its own while
  // other tasks run. Null when there is no manager.
  std::unique_ptr<TVCertMgr> NewTaskManager() const;

 private:
  void Install(std::shared_ptr<TVCertMgr> manager) EXCLUDES(mu_);

  mutable Mutex mu_;
  std::shared_ptr<TVCertMgr> manager_ GUARDED_BY(mu_);
};

}  // namespace zuntar
