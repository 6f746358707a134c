#include "host/desktop/desktop_texts.h"

namespace zuntar {

std::string ProgramCaption(bool cp1251) { return cp1251 ? "ЗУНТАР.Плагин" : "ZUNTAR.Plugin"; }

std::string ApplicationTitle(bool cp1251) { return cp1251 ? "ЗУНТАР.Плагин" : "Zuntar.Plugin"; }

std::string TrayTip(bool cp1251, const std::string& instance_name) {
  std::string tip = ProgramCaption(cp1251);
  if (!instance_name.empty()) tip += " (" + instance_name + ")";
  return tip;
}

std::string VersionItemCaption(bool cp1251, const std::string& plugin_version) {
  return (cp1251 ? "Версия: " : "Version: ") + plugin_version;
}

std::string ExitItemCaption(bool cp1251) { return cp1251 ? "Выход" : "Exit"; }

std::string OpenItemCaption(bool cp1251) { return cp1251 ? "Настройки" : "Settings"; }

std::string CloseButtonCaption(bool cp1251) { return cp1251 ? "Закрыть" : "Close"; }

ProviderVersions InstalledProviderVersions(const ProviderState& providers) {
  ProviderVersions v;
  v.crypto_pro = providers.Installed(kProviderCryptoPro);
  v.crypto_pro_version = providers.crypto_pro_version;
  v.vipnet = providers.Installed(kProviderViPNet);
  v.vipnet_version = providers.vipnet_version;
  return v;
}

std::string VersionBoxText(bool cp1251, const std::string& version_caption, const ProviderVersions& providers) {
  std::string text = version_caption + "\r\n";
  if (providers.crypto_pro)
    text += std::string(cp1251 ? "Версия СКЗИ \"КриптоПро\" (C): " : "CryptoPro CSP (C): ") +
            providers.crypto_pro_version + "\r\n";
  if (providers.vipnet)
    text += std::string(cp1251 ? "Версия СКЗИ \"ViPNet CSP\" (C): " : "VipNet CSP (C): ") + providers.vipnet_version +
            "\r\n";
  return text;
}

}  // namespace zuntar
