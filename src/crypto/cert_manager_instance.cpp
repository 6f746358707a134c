#include "crypto/cert_manager_instance.h"

#include "certs/os_error.h"
#include "certs/provider_detection.h"
#include "crypto/cert_manager_csp.h"

namespace zuntar {
namespace {

std::unique_ptr<TVCertMgr>& Instance() {
  static std::unique_ptr<TVCertMgr> instance;
  return instance;
}

}  // namespace

std::unique_ptr<TVCertMgr> NewCertManager(int kind) {
  if (kind == kProviderCryptoPro || kind == kProviderViPNet) return std::make_unique<TVCertMgrCSP>(0);
  return nullptr;
}

TVCertMgr& CreateCertificateManager(int kind) {
  Instance().reset();
  std::unique_ptr<TVCertMgr> manager = NewCertManager(kind);
  auto* csp = dynamic_cast<TVCertMgrCSP*>(manager.get());
  if (csp == nullptr)
    throw Exception(ProgramText("Неизвестный тип СКЗИ: ", "Unknown provider kind: ") + std::to_string(kind));
  csp->SetStreamDecryptFallback(true);
  csp->SetAddSigningTime(true);
  Instance() = std::move(manager);
  return *Instance();
}

TVCertMgr* CertificateManager() { return Instance().get(); }

void FreeCertificateManager() { Instance().reset(); }

std::unique_ptr<TVCertMgr> NewTaskCertManager() {
  TVCertMgr* shared = CertificateManager();
  return shared != nullptr ? shared->Clone() : nullptr;
}

}  // namespace zuntar
