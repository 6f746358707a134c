#include "platform/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/exception.h"
#include "platform/file_io.h"

namespace zuntar {
namespace {

std::atomic<unsigned> g_sibling_counter{0};

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string CreateError(const std::string& path, const std::string& why) {
  return "Cannot create file \"" + path + "\". " + why;
}

// A new sibling of `path` under a name nobody else uses, created O_EXCL.
UniqueFd CreateSibling(const std::string& path, mode_t mode, std::string& sibling) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    sibling = path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(g_sibling_counter.fetch_add(1));
    UniqueFd fd = CreateNewFile(sibling, mode);
    if (fd.valid() || errno != EEXIST) return fd;
  }
  return UniqueFd();
}

// Owner of a replaced file, kept by the file that replaces it.
struct Owner {
  uid_t uid;
  gid_t gid;
};

// Gives the open file `owner`, changing only what differs: a user may keep
// the group a file already has without being a member.
bool TakeOwner(int fd, const Owner& owner) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  if (st.st_uid == owner.uid && st.st_gid == owner.gid) return true;
  return ::fchown(fd, st.st_uid == owner.uid ? static_cast<uid_t>(-1) : owner.uid,
                  st.st_gid == owner.gid ? static_cast<gid_t>(-1) : owner.gid) == 0;
}

// Writes `bytes` into a sibling of `path` with exactly `mode` (and `owner`
// when given), flushes it and renames it over `path`.
void ReplaceWith(const std::string& path, const std::string& bytes, mode_t mode, const Owner* owner) {
  std::string sibling;
  UniqueFd fd = CreateSibling(path, mode, sibling);
  if (!fd.valid()) throw EFCreateError(CreateError(path, std::strerror(errno)));
  const auto fail = [&](const std::string& why) {
    ::unlink(sibling.c_str());
    throw EFCreateError(CreateError(path, why));
  };
  if (owner != nullptr && !TakeOwner(fd.get(), *owner))
    fail(std::string("Its owner cannot be kept: ") + std::strerror(errno));
  // After the owner: the umask may have taken bits, a change of owner others.
  if (::fchmod(fd.get(), mode) != 0) fail(std::strerror(errno));
  if (!WriteAll(fd.get(), bytes) || ::fsync(fd.get()) != 0) fail(std::strerror(errno));
  if (::rename(sibling.c_str(), path.c_str()) != 0) fail(std::strerror(errno));
  // The rename itself survives a crash once the folder is on disk too.
  const UniqueFd folder(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) ::fsync(folder.get());
}

}  // namespace

std::string PrivateDirProblem(const std::string& path) {
  // Opened without following a link, then judged by what was opened: a
  // folder swapped between a check and its use cannot slip through.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ELOOP) return path + " is a symbolic link";
    if (errno == ENOTDIR) return path + " is not a folder";
    return path + ": " + std::strerror(errno);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return path + ": " + std::strerror(errno);
  if (st.st_uid != ::geteuid())
    return path + " belongs to user " + std::to_string(st.st_uid) + ", not to " + std::to_string(::geteuid());
  if ((st.st_mode & 07777) != 0700) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return path + " has mode " + mode + ", not 0700";
  }
  return {};
}

std::string MakePrivateDir(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return path + ": " + std::strerror(errno);
  return PrivateDirProblem(path);
}

bool MakeFolders(const std::string& path) {
  if (path.empty()) return true;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  const std::string parent = FolderOf(path);
  if (parent != path && !MakeFolders(parent)) return false;
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

UniqueFd CreateNewFile(const std::string& path, mode_t mode) {
  return UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
}

void ReplaceFileAtomically(const std::string& path, const std::string& bytes, mode_t mode) {
  ReplaceWith(path, bytes, mode, nullptr);
}

std::string FinalLinkTarget(const std::string& path) {
  std::string current = path;
  for (int hop = 0; hop < 40; ++hop) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(current.c_str(), buffer, sizeof buffer);
    if (n < 0) return current;  // not a link (or missing): this is the file
    std::string target(buffer, static_cast<size_t>(n));
    if (target.empty() || target[0] != '/') target = FolderOf(current) + "/" + target;
    current = target;
  }
  throw EFOpenError("Cannot open file \"" + path + "\". " + std::strerror(ELOOP));
}

void SaveFileThroughLinks(const std::string& path, const std::string& bytes) {
  const std::string target = FinalLinkTarget(path);
  struct stat st {};
  if (::lstat(target.c_str(), &st) != 0) {
    if (errno != ENOENT) throw EFCreateError(CreateError(path, std::strerror(errno)));
    ReplaceWith(target, bytes, 0600, nullptr);
    return;
  }
  if (!S_ISREG(st.st_mode)) throw EFCreateError(CreateError(path, target + " is not a regular file"));
  const Owner owner{st.st_uid, st.st_gid};
  ReplaceWith(target, bytes, st.st_mode & 07777, &owner);
}

}  // namespace zuntar
