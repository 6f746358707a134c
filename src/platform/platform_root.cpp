#include "platform/platform_root.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

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

}  // namespace

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
  const std::string xdg = Env("XDG_RUNTIME_DIR");
  return xdg.empty() ? "/tmp" : StripSlash(xdg);
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
