#include "host/start_checks.h"

#include <exception>
#include <string>

#include "certs/provider_detection.h"
#include "core/log.h"
#include "core/process_values.h"
#include "core/utf.h"

namespace zuntar {
namespace {

bool IsOldVersion(const std::string& version) {
  return version.size() > 1 && (version[0] == '2' || version[0] == '3');
}

}  // namespace

ProviderState CheckCryptoProvider(SharedCertManager& managers) {
  // A Start after Stop checks anew: an earlier outcome must not outlive
  // the situation it described.
  SetCSPStatus("");
  const ProviderState providers = ReadProviderState();
  if (!providers.Installed(kProviderCryptoPro) && !providers.Installed(kProviderViPNet)) {
    managers.Reset();
    const std::string text = AnsiFromUtf8("Не обнаружена установка СКЗИ, поддерживающая ГОСТ алгоритмы ЭП и шифрования!");
    SetCSPStatus(text);
    LogError(text);
    SetCSPStatus("CSP_NOT_EXIST");
    return providers;
  }
  const std::string& crypto_pro = providers.crypto_pro_version;
  if (crypto_pro.size() > 1) {
    if (IsOldVersion(crypto_pro)) {
      SetCSPStatus("CSP_OLD_VERSION");
    } else {
      std::string message;
      if (!ProviderSelfTest(&message)) SetCSPStatus("CSP_SELF_TEST_FAILED");
    }
  } else if (IsOldVersion(providers.vipnet_version)) {
    SetCSPStatus("CSP_OLD_VERSION");
  }
  return providers;
}

void CreateStartCertificateManager(SharedCertManager& managers, const ProviderState& providers) {
  try {
    managers.Create(kProviderCryptoPro, providers);
  } catch (const std::exception& e) {
    const std::string text =
        AnsiFromUtf8("Ошибка инициализации СКЗИ, поддерживающая ГОСТ алгоритмы ЭП и шифрования: ") + e.what();
    SetCSPStatus(text);
    LogError(text);
  }
}

}  // namespace zuntar
