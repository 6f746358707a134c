// Where the stand-ins keep their files.
//
// ZUNTAR_PLATFORM_ROOT relocates every one of them under one private tree,
// so tests and unprivileged runs never touch the real system. Without it
// the folders follow the FHS and XDG conventions. Paths have no trailing '/'.
#pragma once

#include <string>
#include <vector>

namespace zuntar {

// The value of ZUNTAR_PLATFORM_ROOT, empty when unset.
std::string PlatformRoot();

// HKEY_LOCAL_MACHINE as a .reg-style text file.
std::string RegistryFile();        // <root>/registry.reg | /etc/zuntar/registry.reg
// Folder of systemd unit files.
std::string UnitDir();             // <root>/systemd    | /etc/systemd/system
// Folder for lock files and other run-time objects: <root>/run; for root
// the service's /run/zuntar-mervo-plugin; else $XDG_RUNTIME_DIR, or
// /tmp/zuntar-mervo-plugin-<uid> without one.
std::string RuntimeDir();
// Makes RuntimeDir() when it is missing and checks that it is a private
// folder of the effective user (private_files.h). Empty when it may be
// used, else why not; nothing may then be kept there.
std::string PrepareRuntimeDir();
inline constexpr char kServiceRuntimeDir[] = "/run/zuntar-mervo-plugin";
// Machine-wide data (local machine stores, registry key reader).
std::string MachineDir();          // <root>/machine    | /var/lib/zuntar
// The current user's data (current user stores).
std::string UserDir();             // <root>/user       | $XDG_DATA_HOME/zuntar | ~/.local/share/zuntar
// The user's XDG base folders (not relocated by the platform root).
std::string XdgConfigHome();       // $XDG_CONFIG_HOME | ~/.config
std::string XdgStateHome();        // $XDG_STATE_HOME  | ~/.local/state
std::string XdgDataHome();         // $XDG_DATA_HOME   | ~/.local/share
// Folders under which removable volumes are mounted.
std::vector<std::string> MediaRoots();  // <root>/media | /media/<user>, /run/media/<user>

}  // namespace zuntar
