// Files around certificates: copying a key folder's files, and showing a
// certificate in the desktop's viewer.
#pragma once

#include <string>

#include "platform/capi/base/crypt_types.h"
#include "platform/desktop_viewer.h"

namespace zuntar {

// A fresh 32-character name for a file or a key container: the hex digits
// of a new GUID.
std::string NewUniqueName();

// Copies every file of `source` (not its subfolders) into `destination`,
// which is created with its missing parents; existing files are
// overwritten. True when the source exists, the destination could be made
// and every file was copied; a failed copy makes it false but the other
// files are still copied. Entries that are neither files nor folders (pipes,
// sockets, devices) count as failed copies.
bool CopyDirectoryFiles(const std::string& source, const std::string& destination);

// Writes the certificate to a new file in the temporary folder and opens it
// in the desktop's certificate viewer, without waiting for the viewer; the
// file is removed `keep_seconds` after the viewer was started, when it has
// long read it. Throws VCERT_Error (with the file-not-found code) when there
// is no viewer; the file is removed at once then.
void ShowCertificate(const Bytes& cert_body, int keep_seconds = kViewerFileSeconds);

}  // namespace zuntar
