#include "crypto/cert_manager_instance.h"

#include "certs/os_error.h"
#include "certs/provider_detection.h"
#include "crypto/cert_manager_csp.h"

namespace zuntar {
namespace {

std::unique_ptr<TVCertMgrCSP> NewCspManager(int kind) {
  if (kind == kProviderCryptoPro || kind == kProviderViPNet) return std::make_unique<TVCertMgrCSP>(0);
  return nullptr;
}

}  // namespace

std::unique_ptr<TVCertMgr> NewCertManager(int kind) { return NewCspManager(kind); }

std::shared_ptr<TVCertMgrCSP> SharedCertManager::Create(int kind, const ProviderState& providers) {
  Install(nullptr);
  std::shared_ptr<TVCertMgrCSP> manager = NewCspManager(kind);
  if (manager == nullptr)
    throw Exception(ProgramText("Неизвестный тип СКЗИ: ", "Unknown provider kind: ") + std::to_string(kind));
  manager->SetStreamDecryptFallback(true);
  manager->SetAddSigningTime(true);
  manager->SetProviders(providers);
  Install(manager);
  return manager;
}

std::shared_ptr<TVCertMgr> SharedCertManager::Get() const {
  MutexLock lock(mu_);
  return manager_;
}

void SharedCertManager::Reset() { Install(nullptr); }

void SharedCertManager::Install(std::shared_ptr<TVCertMgr> manager) {
  {
    MutexLock lock(mu_);
    manager_.swap(manager);
  }
  // The old manager, freed here when no thread holds it any more.
}

std::unique_ptr<TVCertMgr> SharedCertManager::NewTaskManager() const {
  const std::shared_ptr<TVCertMgr> shared = Get();
  return shared != nullptr ? shared->Clone() : nullptr;
}

}  // namespace zuntar
