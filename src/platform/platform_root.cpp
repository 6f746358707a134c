#include "platform/platform_root.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/private_files.h"

namespace zuntar {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::string StripSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string AccountName() {
  if (const passwd* pw = getpwuid(geteuid())) return pw->pw_name;
  return {};
}

std::string HomeDir() {
  std::string home = Env("HOME");
  if (home.empty())
    if (const passwd* pw = getpwuid(geteuid())) home = pw->pw_dir;
  return home;
}

// An XDG base folder: the variable when it holds an absolute path (the
// standard ignores relative ones), else `fallback` under the home folder.
std::string XdgBase(const char* name, const char* fallback) {
  const std::string value = Env(name);
  if (!value.empty() && value[0] == '/') return StripSlash(value);
  return HomeDir() + "/" + fallback;
}

}  // namespace

std::string XdgConfigHome() { return XdgBase("XDG_CONFIG_HOME", ".config"); }
std::string XdgStateHome() { return XdgBase("XDG_STATE_HOME", ".local/state"); }
std::string XdgDataHome() { return XdgBase("XDG_DATA_HOME", ".local/share"); }

std::string PlatformRoot() { return StripSlash(Env("ZUNTAR_PLATFORM_ROOT")); }

std::string RegistryFile() {
  const std::string root = PlatformRoot();
  return root.empty() ? "/etc/zuntar/registry.reg" : root + "/registry.reg";
}

std::string UnitDir() {
  const std::string root = PlatformRoot();
  return root.empty() ? "/etc/systemd/system" : root + "/systemd";
}

std::string RuntimeDir() {
  const std::string root = PlatformRoot();
  if (!root.empty()) return root + "/run";
  // Every process of root shares the service's folder, whatever session it
  // was started from: the package stops the service through its lock there.
  if (::geteuid() == 0) return kServiceRuntimeDir;
  const std::string xdg = Env("XDG_RUNTIME_DIR");
  if (!xdg.empty()) return StripSlash(xdg);
  return "/tmp/zuntar-mervo-plugin-" + std::to_string(::geteuid());
}

std::string PrepareRuntimeDir() {
  // A private tree may be new; the system's folders above the others exist.
  const std::string root = PlatformRoot();
  if (!root.empty()) MakeFolders(root);
  return MakePrivateDir(RuntimeDir());
}

std::string MachineDir() {
  const std::string root = PlatformRoot();
  return root.empty() ? "/var/lib/zuntar" : root + "/machine";
}

std::string UserDir() {
  const std::string root = PlatformRoot();
  if (!root.empty()) return root + "/user";
  const std::string xdg = Env("XDG_DATA_HOME");
  return xdg.empty() ? HomeDir() + "/.local/share/zuntar" : StripSlash(xdg) + "/zuntar";
}

std::vector<std::string> MediaRoots() {
  const std::string root = PlatformRoot();
  if (!root.empty()) return {root + "/media"};
  const std::string user = AccountName();
  return {"/media/" + user, "/run/media/" + user};
}

}  // namespace zuntar
