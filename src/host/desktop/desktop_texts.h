// The desktop's texts (UTF-8): Russian on systems whose code page is 1251,
// English elsewhere, where the program has English ones.
#pragma once

#include <string>

#include "certs/provider_detection.h"

namespace zuntar {

// The program's name as the tray and its message windows show it.
std::string ProgramCaption(bool cp1251);
// The application's title: the name the desktop shows for the program's
// windows and notifications.
std::string ApplicationTitle(bool cp1251);
// The tray's tip: the program's name, and " (<instance>)" for a named instance.
std::string TrayTip(bool cp1251, const std::string& instance_name);
// The version item of the tray menu.
std::string VersionItemCaption(bool cp1251, const std::string& plugin_version);
std::string ExitItemCaption(bool cp1251);
// The visible menu entry that opens the settings window.
std::string OpenItemCaption(bool cp1251);
std::string CloseButtonCaption(bool cp1251);

// What the version window says about the GOST providers.
struct ProviderVersions {
  bool crypto_pro = false;  // Installed(kProviderCryptoPro)
  std::string crypto_pro_version;
  bool vipnet = false;  // Installed(kProviderViPNet)
  std::string vipnet_version;
};
// The providers as detection found them.
ProviderVersions InstalledProviderVersions(const ProviderState& providers);

// The text of the version window: the version item's caption, then a line
// per installed GOST provider with its version. Lines end in CR LF.
std::string VersionBoxText(bool cp1251, const std::string& version_caption, const ProviderVersions& providers);

}  // namespace zuntar
