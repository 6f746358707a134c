#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/object_name.h"
#include "platform/platform_root.h"
#include "platform/private_files.h"

namespace zuntar {
namespace {

// The lock file, created private or opened as it is; never through a link,
// and never one that another user put there.
UniqueFd OpenLockFile(const std::string& file_name, std::string& problem) {
  constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW;
  UniqueFd fd(::open(file_name.c_str(), kFlags | O_CREAT | O_EXCL, 0600));
  if (!fd.valid() && errno == EEXIST) fd.reset(::open(file_name.c_str(), kFlags));
  if (!fd.valid()) {
    problem = std::strerror(errno);
    return fd;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    problem = "not a file of user " + std::to_string(::geteuid());
    fd.reset();
  }
  return fd;
}

}  // namespace

std::string NamedMutexFile(const std::string& name) { return RuntimeDir() + "/" + EscapeObjectName(name) + ".lock"; }

NamedMutex::NamedMutex(const std::string& name) : file_name_(NamedMutexFile(name)) {
  problem_ = PrepareRuntimeDir();
  if (!problem_.empty()) return;
  // Close-on-exec: a child must not keep the lock alive after the program
  // itself has ended.
  fd_ = OpenLockFile(file_name_, problem_);
  if (!fd_.valid()) return;
  while (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      result_ = Result::kAlreadyExists;
    } else {
      problem_ = std::strerror(errno);
    }
    fd_.reset();
    return;
  }
  result_ = Result::kCreated;
  // The holder's process id, for whoever must stop it (the package's
  // removal). Only the holder writes it, so it is never a stale one.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd_.get(), 0) == 0) (void)!::pwrite(fd_.get(), pid.data(), pid.size(), 0);
}

}  // namespace zuntar
