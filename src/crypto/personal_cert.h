// Installing a personal certificate with a link to its key container, and
// the name a container copied for a certificate gets.
#pragma once

#include <string>
#include <vector>

#include "certs/provider_detection.h"
#include "platform/capi/base/crypt_types.h"

namespace zuntar {

// Tries after which a taken container name is given up on.
inline constexpr int kMaxContainerNameTries = 1000;

// "<surname given names>-<organisation>_<yyyymmdd>": the holder's name from
// the subject (SN and GN, else the attributes by their OIDs, else CN), a
// blank-trimmed O after "-" when there is one, cut to 100 characters, and
// the local date the certificate becomes valid. When a container name
// already contains it, "[2]", "[3]" ... up to "[1001]" is appended until
// none does (the last one stays even when it is taken).
std::string ContainerNameForCert(const Bytes& cert_body);

// The removable-media containers that an absolute folder path denotes: the
// container folder itself, or the containers directly in that folder. The
// path is compared as written with what the media reader reaches; a path
// through a symbolic link or with "." or ".." parts denotes nothing.
std::vector<std::string> MediaContainersAt(const std::string& folder);

// Puts the certificate into the current user's personal store, linked to
// its key container:
// - a removable-media container ("\\.\FAT12_...") is copied to the
//   registry reader under ContainerNameForCert and the copy is linked;
// - an absolute folder path names a container on mounted removable media,
//   used where it is (MediaContainersAt; the first whose key is the
//   certificate's) and copied the same way; nothing on the medium is
//   renamed, written or deleted. No such container: false, with the reason
//   in error_text;
// - any other name is linked as it stands.
// Failures of the platform raise.
bool InstallPersonalCertificate(const ProviderState& providers, const std::string& container_or_path,
                                const Bytes& cert_body, std::string& error_text);

}  // namespace zuntar
