#include "platform/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/exception.h"
#include "platform/unique_fd.h"

namespace zuntar {
namespace {

std::string OpenErrorText(const std::string& file_name, int err) {
  return "Cannot open file \"" + file_name + "\". " + std::strerror(err);
}

std::string CreateErrorText(const std::string& file_name, int err) {
  return "Cannot create file \"" + file_name + "\". " + std::strerror(err);
}

std::string ReadTail(const std::string& file_name, size_t max_bytes, bool own_file_only) {
  // O_NONBLOCK: a FIFO put in the file's place must not hang the reader.
  const int flags = own_file_only ? O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK : O_RDONLY | O_CLOEXEC;
  UniqueFd fd(::open(file_name.c_str(), flags));
  if (!fd.valid()) throw EFOpenError(OpenErrorText(file_name, errno));
  // Shared lock: other readers go on, writers that lock are refused.
  if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) throw EFOpenError(OpenErrorText(file_name, errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw EFOpenError(OpenErrorText(file_name, errno));
  if (S_ISDIR(st.st_mode)) throw EFOpenError(OpenErrorText(file_name, EISDIR));
  if (own_file_only && (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()))
    throw EFOpenError(OpenErrorText(file_name, EPERM));
  const auto size = static_cast<size_t>(st.st_size);
  if (size > max_bytes && ::lseek(fd.get(), static_cast<off_t>(size - max_bytes), SEEK_SET) < 0)
    throw EFOpenError(OpenErrorText(file_name, errno));
  std::string out;
  out.reserve(std::min(size, max_bytes));
  char buffer[65536];
  // A file that grows while it is read (a log) is read up to the limit.
  while (out.size() < max_bytes) {
    const ssize_t n = ::read(fd.get(), buffer, std::min(sizeof buffer, max_bytes - out.size()));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EFOpenError(OpenErrorText(file_name, errno));
    }
    if (n == 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace

bool WriteAll(int fd, const std::string& bytes) {
  const char* data = bytes.data();
  size_t size = bytes.size();
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string ReadFileToString(const std::string& file_name) { return ReadFileTail(file_name, SIZE_MAX); }

std::string ReadFileTail(const std::string& file_name, size_t max_bytes) {
  return ReadTail(file_name, max_bytes, /*own_file_only=*/false);
}

std::string ReadOwnFileTail(const std::string& file_name, size_t max_bytes) {
  return ReadTail(file_name, max_bytes, /*own_file_only=*/true);
}

void WriteStringToFile(const std::string& bytes, const std::string& file_name) {
  UniqueFd fd(::open(file_name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.valid()) throw EFCreateError(CreateErrorText(file_name, errno));
  // Truncate only once no reader holds the file.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) throw EFCreateError(CreateErrorText(file_name, errno));
  if (::ftruncate(fd.get(), 0) != 0 || !WriteAll(fd.get(), bytes))
    throw EFCreateError(CreateErrorText(file_name, errno));
}

void DeletePath(const std::string& path, uint32_t attributes) {
  if ((attributes & kFileAttributeDirectory) == 0) {
    // Unlinking needs no write permission on the file itself.
    ::unlink(path.c_str());
    return;
  }
  if (!path.empty() && path.back() == '.') return;  // "." and ".." entries
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string child = path + "/" + name;
      struct stat st {};
      if (::lstat(child.c_str(), &st) != 0) continue;
      DeletePath(child, S_ISDIR(st.st_mode) ? kFileAttributeDirectory : 0);
    }
    ::closedir(dir);
  }
  ::rmdir(path.c_str());
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string TempDirectory() {
  const char* value = std::getenv("TMPDIR");
  std::string dir = value != nullptr ? std::string(value).substr(0, 255) : std::string();
  if (dir.empty()) dir = "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

}  // namespace zuntar
