// The start-up checks of the crypto side, in Start's order: which GOST
// provider the machine has (its outcome in CSPStatus), then the plugin's
// certificate manager. Neither stops Start: a failure goes to
// the log and to CSPStatus, which PING and TRYUSEPLUGIN report.
#pragma once

#include "crypto/cert_manager_instance.h"

namespace zuntar {

// Detects the providers (what it found is returned) and sets CSPStatus:
// "CSP_NOT_EXIST" without a
// CryptoPro or ViPNet provider (the manager of `managers` is dropped and
// the reason logged), "CSP_OLD_VERSION" for a 2.x or 3.x provider,
// "CSP_SELF_TEST_FAILED" when a newer CryptoPro fails its self test, else
// empty.
ProviderState CheckCryptoProvider(SharedCertManager& managers);

// Creates the certificate manager of `managers` (CryptoPro kind) for the
// providers found. On failure there is none, and CSPStatus and the log say
// why.
void CreateStartCertificateManager(SharedCertManager& managers, const ProviderState& providers);

}  // namespace zuntar
