#include "tasks/firebird_root.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/log.h"
#include "platform/exception.h"
#include "platform/file_io.h"
#include "platform/platform_root.h"
#include "platform/private_files.h"
#include "platform/unique_fd.h"

namespace zuntar {

namespace {

constexpr char kPackageDir[] = ZUNTAR_FIREBIRD_DIR;
constexpr const char* kLinkedEntries[] = {"plugins", "intl", "lib", "firebird.msg", "plugins.conf"};
constexpr char kConfig[] =
    "# Written by ZuntarMervoPlugin: lets several processes share an\n"
    "# embedded database file.\n"
    "ServerMode = SuperClassic\n";

std::atomic<unsigned> g_link_counter{0};

// Replaces `path` in one step, so a process starting at the same moment
// never sees a missing or half-made entry. symlink() never follows or
// reuses what is there, so the new link is the one made here.
bool ReplaceWithSymlink(const std::string& target, const std::string& path) {
  const std::string temp =
      path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(g_link_counter.fetch_add(1));
  if (::symlink(target.c_str(), temp.c_str()) != 0) return false;
  if (::rename(temp.c_str(), path.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

bool LinkIsCurrent(const std::string& target, const std::string& path) {
  char buffer[4096];
  const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  return n > 0 && std::string(buffer, static_cast<size_t>(n)) == target;
}

// The configuration is current when it is a private file of ours with the
// expected text.
bool ConfigIsCurrent(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 07777) != 0600 ||
      st.st_uid != ::geteuid())
    return false;
  char buffer[sizeof kConfig];
  const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
  return n == static_cast<ssize_t>(sizeof kConfig - 1) && std::memcmp(buffer, kConfig, sizeof kConfig - 1) == 0;
}

}  // namespace

std::string PrivateFirebirdRoot() { return RuntimeDir() + "/zuntar-firebird-" + std::to_string(geteuid()); }

std::string BuildPrivateFirebirdRoot() {
  if (std::string problem = PrepareRuntimeDir(); !problem.empty()) return problem;
  const std::string root = PrivateFirebirdRoot();
  if (std::string problem = MakePrivateDir(root); !problem.empty()) return problem;
  if (std::string problem = MakePrivateDir(root + "/lock"); !problem.empty()) return problem;
  for (const char* name : kLinkedEntries) {
    const std::string target = std::string(kPackageDir) + "/" + name;
    const std::string path = root + "/" + name;
    if (!LinkIsCurrent(target, path) && !ReplaceWithSymlink(target, path)) return path + ": " + std::strerror(errno);
  }
  const std::string conf = root + "/firebird.conf";
  if (ConfigIsCurrent(conf)) return {};
  try {
    ReplaceFileAtomically(conf, kConfig, 0600);
  } catch (const Exception& e) {
    return e.what();
  }
  return {};
}

void PrepareFirebirdClient() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (std::getenv("FIREBIRD") != nullptr) return;
    if (!DirectoryExists(kPackageDir)) {
      LogError(std::string("Firebird engine files not found in ") + kPackageDir +
               "; the database opens with the installation's own settings");
      return;
    }
    if (const std::string problem = BuildPrivateFirebirdRoot(); !problem.empty()) {
      LogError("Cannot prepare the Firebird folder " + PrivateFirebirdRoot() + ": " + problem +
               "; the database opens with the installation's own settings");
      return;
    }
    const std::string root = PrivateFirebirdRoot();
    ::setenv("FIREBIRD", root.c_str(), 1);
    // The engine's lock files go with it, out of the shared /tmp/firebird.
    ::setenv("FIREBIRD_LOCK", (root + "/lock").c_str(), 1);
  });
}

}  // namespace zuntar
