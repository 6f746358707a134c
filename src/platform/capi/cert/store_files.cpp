#include "platform/capi/cert/store_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zuntar {
namespace fs = std::filesystem;

namespace {

std::atomic<unsigned> temp_counter{0};

// The coarsest time granularity among the file systems a store may live
// on (FAT keeps modification times in steps of two seconds).
constexpr int64_t kCoarsestTimeStepNs = 2'000'000'000;

int64_t Nanoseconds(const timespec& t) { return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec; }

}  // namespace

bool FolderStamp::SameFolderState(const FolderStamp& other) const {
  return exists == other.exists && device == other.device && inode == other.inode && size == other.size &&
         modified_ns == other.modified_ns && changed_ns == other.changed_ns;
}

std::string HexUpper(const Bytes& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

bool StoreFolder::Exists() const {
  std::error_code ec;
  return fs::is_directory(path_, ec);
}

FolderStamp StoreFolder::Stamp() const {
  // The clock is read first: a change after this moment gets a time at
  // least this late, whatever the file system's clock tick.
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  FolderStamp stamp;
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    stamp.settled = true;  // whatever appears there later differs
    return stamp;
  }
  stamp.exists = true;
  stamp.device = st.st_dev;
  stamp.inode = st.st_ino;
  stamp.size = static_cast<uint64_t>(st.st_size);
  stamp.modified_ns = Nanoseconds(st.st_mtim);
  stamp.changed_ns = Nanoseconds(st.st_ctim);
  const int64_t settled_before = Nanoseconds(now) - kCoarsestTimeStepNs;
  stamp.settled = stamp.modified_ns < settled_before && stamp.changed_ns < settled_before;
  return stamp;
}

std::vector<std::string> StoreFolder::Entries(const std::string& extension) const {
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& p = it->path();
    const std::string stem = p.stem().string();
    if (p.extension() == extension && stem.size() > 9 && stem[8] == '-' &&
        std::all_of(stem.begin(), stem.begin() + 8, [](char c) { return c >= '0' && c <= '9'; }))
      out.push_back(stem);
  }
  std::sort(out.begin(), out.end());
  return out;
}

bool StoreFolder::Read(const std::string& stem, const std::string& extension, Bytes* bytes) const {
  // Every open of a store reads all its files: plain calls, no streams.
  const UniqueFd fd(::open((path_ + "/" + stem + extension).c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  bytes->resize(static_cast<size_t>(st.st_size) + 1);
  size_t got = 0;
  for (;;) {
    if (got == bytes->size()) bytes->resize(2 * got);
    const ssize_t n = ::read(fd.get(), bytes->data() + got, bytes->size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  bytes->resize(got);
  return true;
}

UniqueFd StoreFolder::Lock() const {
  std::error_code ec;
  fs::create_directories(path_, ec);
  UniqueFd fd(::open((path_ + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (fd.valid() && ::flock(fd.get(), LOCK_EX) != 0) fd.reset();
  return fd;
}

std::string StoreFolder::NewStem(const std::string& hash_hex) const {
  unsigned long next = 1;
  for (const char* ext : {".cer", ".crl"}) {
    const std::vector<std::string> entries = Entries(ext);
    if (!entries.empty()) next = std::max(next, std::stoul(entries.back().substr(0, 8)) + 1);
  }
  char seq[16];
  std::snprintf(seq, sizeof seq, "%08lu", next % 100000000UL);
  return std::string(seq) + "-" + hash_hex;
}

bool StoreFolder::Write(const std::string& stem, const std::string& extension, const Bytes& bytes,
                        bool owner_only) const {
  std::error_code ec;
  fs::create_directories(path_, ec);
  const std::string target = path_ + "/" + stem + extension;
  const std::string temp = target + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(temp_counter++);
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    // Restricted before a byte is written. File systems without modes
    // (FAT media) refuse, and there is nothing more to do about it.
    if (owner_only) fs::permissions(temp, fs::perms::owner_read | fs::perms::owner_write, ec);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      const int err = errno;  // the caller's to report
      fs::remove(temp, ec);
      errno = err;
      return false;
    }
  }
  fs::rename(temp, target, ec);
  if (!ec) return true;
  const int err = ec.value();
  fs::remove(temp, ec);
  errno = err;
  return false;
}

void StoreFolder::Remove(const std::string& stem, const std::string& extension) const {
  std::error_code ec;
  fs::remove(path_ + "/" + stem + extension, ec);
}

Bytes EncodeProperties(const std::map<DWORD, Bytes>& properties) {
  Bytes out;
  for (const auto& [id, value] : properties) out += std::to_string(id) + " " + HexUpper(value) + "\n";
  return out;
}

std::map<DWORD, Bytes> DecodeProperties(const Bytes& text) {
  std::map<DWORD, Bytes> out;
  std::istringstream in(text);
  std::string line;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    if (space == std::string::npos || space == 0 || space > 10) continue;
    const std::string id = line.substr(0, space);
    if (id.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string hex = line.substr(space + 1);
    if (hex.size() % 2 != 0) continue;
    Bytes value;
    bool ok = true;
    for (size_t i = 0; ok && i < hex.size(); i += 2) {
      const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
      ok = hi >= 0 && lo >= 0;
      value += static_cast<char>(hi * 16 + lo);
    }
    if (ok) out[static_cast<DWORD>(std::stoul(id))] = value;
  }
  return out;
}

}  // namespace zuntar
