#include "platform/file_version.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/unique_fd.h"

namespace zuntar {
namespace {

uint32_t LoadLe32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(u[0]) | static_cast<uint32_t>(u[1]) << 8 | static_cast<uint32_t>(u[2]) << 16 |
         static_cast<uint32_t>(u[3]) << 24;
}

// Offset just past the last position where a record could still start
// within `size` bytes.
size_t SearchEnd(size_t size) { return size >= kFixedFileInfoSize ? size - kFixedFileInfoSize + 1 : 0; }

}  // namespace

std::string FileVersion::Text() const {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%u.%u.%u.%u", file_version_ms >> 16, file_version_ms & 0xFFFF,
                file_version_ls >> 16, file_version_ls & 0xFFFF);
  return buffer;
}

std::optional<FileVersion> FindFixedFileInfo(std::string_view bytes) {
  const char first = static_cast<char>(kFixedFileInfoSignature & 0xFF);
  for (size_t pos = 0, end = SearchEnd(bytes.size()); pos < end; ++pos) {
    pos = bytes.find(first, pos);
    if (pos == std::string_view::npos || pos >= end) break;
    const char* p = bytes.data() + pos;
    if (LoadLe32(p) == kFixedFileInfoSignature && LoadLe32(p + 4) == kFixedFileInfoStrucVersion)
      return FileVersion{LoadLe32(p + 8), LoadLe32(p + 12)};
  }
  return std::nullopt;
}

std::optional<FileVersion> ReadFileVersion(const std::string& file_name) {
  UniqueFd fd(::open(file_name.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  // Each piece starts with the tail of the one before, so a record that
  // straddles two reads is still seen whole.
  constexpr size_t kPiece = 1 << 16;
  std::string buffer;
  char chunk[kPiece];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) return std::nullopt;
    buffer.append(chunk, static_cast<size_t>(n));
    if (std::optional<FileVersion> v = FindFixedFileInfo(buffer)) return v;
    if (buffer.size() >= kFixedFileInfoSize) buffer.erase(0, buffer.size() - (kFixedFileInfoSize - 1));
  }
}

std::string FileVersionText(const std::string& file_name) {
  const std::optional<FileVersion> v = ReadFileVersion(file_name);
  return v ? v->Text() : std::string();
}

}  // namespace zuntar
