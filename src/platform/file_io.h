// Whole-file reads and writes, path removal and the temporary folder.
//
// Sharing follows the Windows rules the callers were written for, mapped to
// advisory locks: a file being read refuses writers that use these functions
// (WriteStringToFile), and a file being written refuses readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zuntar {

constexpr uint32_t kFileAttributeReadOnly = 0x01;
constexpr uint32_t kFileAttributeDirectory = 0x10;

// The whole file. Throws EFOpenError when it cannot be opened or read, or
// while another process writes it.
std::string ReadFileToString(const std::string& file_name);
// The last `max_bytes` bytes of the file (all of a smaller one), with the
// same sharing and errors.
std::string ReadFileTail(const std::string& file_name, size_t max_bytes);
// The same for a file the program keeps for itself (its log): never read
// through a symbolic link, and only a regular file of the effective user.
std::string ReadOwnFileTail(const std::string& file_name, size_t max_bytes);

// Writes all the bytes to the descriptor, going on after short writes and
// interruptions. False (errno set) on a failure.
bool WriteAll(int fd, const std::string& bytes);

// Creates or truncates the file and writes the bytes. Throws EFCreateError.
void WriteStringToFile(const std::string& bytes, const std::string& file_name);

// Removes a directory (attributes with kFileAttributeDirectory) with all it
// holds, or a single file even when it is read-only. Failures are ignored.
// Symbolic links are removed, never followed.
void DeletePath(const std::string& path, uint32_t attributes);

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);

// $TMPDIR (at most 255 characters) or "/tmp/", with a trailing '/'.
std::string TempDirectory();

}  // namespace zuntar
