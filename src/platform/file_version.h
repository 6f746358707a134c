// The version record of a file: a fixed-file-info block found by its
// signature bytes BD 04 EF FE, as in the version resource of a Windows
// module. The build embeds such a block in our own executables and modules
// (cmake/ZuntarVersion.cmake), so one reader serves both kinds of files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zuntar {

// Enumerators, not variables: a variable may be laid out in the reader's
// own read-only data, where the signature followed by the structure version
// would read as a record of the program that merely contains the reader.
enum : uint32_t {
  kFixedFileInfoSignature = 0xFEEF04BD,
  kFixedFileInfoStrucVersion = 0x00010000,
};
enum : size_t { kFixedFileInfoSize = 52 };  // thirteen little-endian 32-bit words

struct FileVersion {
  uint32_t file_version_ms = 0;  // major << 16 | minor
  uint32_t file_version_ls = 0;  // release << 16 | build

  // "%d.%d.%d.%d" of major, minor, release and build.
  std::string Text() const;
};

// The first complete record in `bytes`: the signature followed by the
// structure version 1.0, so the bare signature constant inside some code
// is not taken for a record.
std::optional<FileVersion> FindFixedFileInfo(std::string_view bytes);

// The record of a file, read in pieces; nothing when the file has none or
// cannot be read.
std::optional<FileVersion> ReadFileVersion(const std::string& file_name);

// ReadFileVersion as text; empty when the file has no record.
std::string FileVersionText(const std::string& file_name);

}  // namespace zuntar
