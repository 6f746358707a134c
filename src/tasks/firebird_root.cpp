#include "tasks/firebird_root.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "core/log.h"
#include "platform/file_io.h"
#include "platform/platform_root.h"

namespace zuntar {

namespace {

constexpr char kPackageDir[] = ZUNTAR_FIREBIRD_DIR;
constexpr const char* kLinkedEntries[] = {"plugins", "intl", "lib", "firebird.msg", "plugins.conf"};
constexpr char kConfig[] =
    "# Written by ZuntarMervoPlugin: lets several processes share an\n"
    "# embedded database file.\n"
    "ServerMode = SuperClassic\n";

// Replaces `path` in one step, so a process starting at the same moment
// never sees a missing or half-written entry.
bool ReplaceWithSymlink(const std::string& target, const std::string& path) {
  const std::string temp = path + ".tmp" + std::to_string(getpid());
  ::unlink(temp.c_str());
  return ::symlink(target.c_str(), temp.c_str()) == 0 && ::rename(temp.c_str(), path.c_str()) == 0;
}

bool ReplaceWithText(const std::string& text, const std::string& path) {
  const std::string temp = path + ".tmp" + std::to_string(getpid());
  try {
    WriteStringToFile(text, temp);
  } catch (const std::exception&) {
    return false;
  }
  return ::rename(temp.c_str(), path.c_str()) == 0;
}

bool LinkIsCurrent(const std::string& target, const std::string& path) {
  char buffer[4096];
  const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  return n > 0 && std::string(buffer, static_cast<size_t>(n)) == target;
}

// Brings the root up to date; false when it cannot be written.
bool BuildRoot(const std::string& root) {
  std::error_code ignored;
  std::filesystem::create_directories(RuntimeDir(), ignored);
  if (::mkdir(root.c_str(), 0700) != 0 && errno != EEXIST) return false;
  for (const char* name : kLinkedEntries) {
    const std::string target = std::string(kPackageDir) + "/" + name;
    const std::string path = root + "/" + name;
    if (!LinkIsCurrent(target, path) && !ReplaceWithSymlink(target, path)) return false;
  }
  const std::string conf = root + "/firebird.conf";
  bool current = false;
  try {
    current = ReadFileToString(conf) == kConfig;
  } catch (const std::exception&) {
  }
  return current || ReplaceWithText(kConfig, conf);
}

}  // namespace

std::string PrivateFirebirdRoot() { return RuntimeDir() + "/zuntar-firebird-" + std::to_string(geteuid()); }

void PrepareFirebirdClient() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (std::getenv("FIREBIRD") != nullptr) return;
    if (!DirectoryExists(kPackageDir)) {
      LogError(std::string("Firebird engine files not found in ") + kPackageDir +
               "; the database opens with the installation's own settings");
      return;
    }
    const std::string root = PrivateFirebirdRoot();
    if (!BuildRoot(root)) {
      LogError("Cannot prepare the Firebird folder " + root +
               "; the database opens with the installation's own settings");
      return;
    }
    ::setenv("FIREBIRD", root.c_str(), 1);
  });
}

}  // namespace zuntar
