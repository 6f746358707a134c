#include "certs/cert_files.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "certs/vcert_error.h"
#include "core/text.h"
#include "platform/capi/base/error_codes.h"
#include "platform/file_io.h"
#include "platform/guid.h"

namespace zuntar {
namespace {

namespace fs = std::filesystem;

}  // namespace

std::string NewUniqueName() {
  std::string name = NewGuidText();
  name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
  return name;
}

bool CopyDirectoryFiles(const std::string& source, const std::string& destination) {
  const fs::path from = IncludeTrailingBackslash(source);
  const fs::path to = IncludeTrailingBackslash(destination);
  std::error_code ec;
  if (!fs::is_directory(from, ec)) return false;
  fs::create_directories(to, ec);
  if (ec || !fs::is_directory(to, ec)) return false;
  bool all_copied = true;
  fs::directory_iterator it(from, ec);
  for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
    std::error_code entry_ec;
    // Links are followed, as a copy would: a link to a folder is a folder.
    const fs::file_status status = it->status(entry_ec);
    if (fs::is_directory(status)) continue;
    // Only regular files: copying from a pipe or a device could block or
    // never end.
    if (!fs::is_regular_file(status) ||
        !fs::copy_file(it->path(), to / it->path().filename(), fs::copy_options::overwrite_existing, entry_ec))
      all_copied = false;
  }
  return all_copied && !ec;
}

void ShowCertificate(const Bytes& cert_body, int keep_seconds) {
  // The viewer is chosen by the file's type, which the desktop reads from
  // the extension.
  const std::string path = TempDirectory() + NewUniqueName() + ".cer";
  WriteStringToFile(cert_body, path);
  if (!OpenInDesktopViewer(path, keep_seconds)) {
    DeletePath(path, 0);
    throw VCERT_Error(SysErrorMessage(ERROR_FILE_NOT_FOUND), ERROR_FILE_NOT_FOUND);
  }
}

}  // namespace zuntar
