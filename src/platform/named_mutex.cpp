#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <filesystem>

#include "platform/object_name.h"
#include "platform/platform_root.h"

namespace zuntar {

std::string NamedMutexFile(const std::string& name) { return RuntimeDir() + "/" + EscapeObjectName(name) + ".lock"; }

NamedMutex::NamedMutex(const std::string& name) : file_name_(NamedMutexFile(name)) {
  std::error_code ec;
  std::filesystem::create_directories(RuntimeDir(), ec);
  // Read-only is enough for flock and lets another account share a file
  // it did not create; the retry without O_CREAT passes the sticky /tmp
  // rule against creating over other users' files. Close-on-exec: a child
  // must not keep the lock alive after the program itself has ended.
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW;
  fd_.reset(::open(file_name_.c_str(), kFlags | O_CREAT, 0644));
  if (!fd_.valid() && errno == EACCES) fd_.reset(::open(file_name_.c_str(), kFlags));
  if (!fd_.valid()) {
    error_ = errno;
    return;
  }
  while (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    error_ = errno;
    result_ = error_ == EWOULDBLOCK ? Result::kAlreadyExists : Result::kFailed;
    fd_.reset();
    return;
  }
  result_ = Result::kCreated;
}

}  // namespace zuntar
