// The manager factory and the process-wide CertificateManager that Start
// creates and every part of the program uses.
#pragma once

#include <memory>

#include "crypto/cert_manager.h"

namespace zuntar {

// A TVCertMgrCSP for kinds 1 (CryptoPro) and 3 (ViPNet); nothing for any
// other kind.
std::unique_ptr<TVCertMgr> NewCertManager(int kind);

// Replaces the process-wide manager with a new one of that kind (1 at
// Start), both of its options set. When that fails there is no manager at
// all, and the error goes to the caller. Called while no other thread uses
// the manager.
TVCertMgr& CreateCertificateManager(int kind);
// The process-wide manager; null before Start and after a failed creation.
TVCertMgr* CertificateManager();
// At exit.
void FreeCertificateManager();

// A manager of a task's own, with the process-wide manager's options and
// current certificate: what it is given with SetCertificate stays its own
// while other tasks run. Null when there is no process-wide manager.
std::unique_ptr<TVCertMgr> NewTaskCertManager();

}  // namespace zuntar
