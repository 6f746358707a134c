// Key containers of the GOST provider: listing them, reading the certificate
// kept with a key, linking a certificate to its container in the personal
// store, and copying a container into the registry key reader.
//
// Every operation acquires and releases its own provider handles, so they
// may run on several threads at once. Names are in the ANSI code page, as the
// provider reports them.
#pragma once

#include <string>
#include <vector>

#include "certs/provider_detection.h"
#include "platform/capi/base/crypt_types.h"

namespace zuntar {

inline constexpr char kRegistryContainerPrefix[] = "\\\\.\\REGISTRY\\";
inline constexpr char kOldRegistryContainerPrefix[] = "REGISTRY\\\\";
inline constexpr char kRemovableContainerPrefix[] = "\\\\.\\FAT12_";

// Appends the unique fully qualified name of every container the provider
// reaches now ("<fully qualified name>\0<unique part>"), or of those that
// begin with `prefix` when one is given.
void EnumContainers(std::vector<std::string>* list, const std::string& prefix = {});

// The certificate kept with the container's exchange key, else with its
// signature key; empty when the container cannot be opened or keeps none.
Bytes GetContainerCertificate(const std::string& container);

// The first of `cert_bodies` whose public key is the container's exchange
// key; empty when none is, or the container cannot be read.
Bytes FindCertificateForContainer(const std::string& container, const std::vector<Bytes>& cert_bodies);

// The container folder ("name.000") in a removable-media container name
// ("\\.\FAT12_A\keys\name.000"); empty when the name has none.
std::string RemovableContainerFolder(const std::string& container_name);

// Links the certificate to the container (signature, then exchange key) and
// adds it to the current user's personal store, beside any copy already
// there. `providers`: the machine's, as Start found them (the oldest
// CryptoPro versions link with their one provider). Throws EWin32Error with
// the platform's code on failure.
void InstallCertificateForContainer(const ProviderState& providers, const std::string& container,
                                    const Bytes& cert_body);

// Copies the keys of `source` into a new container `target` of the provider
// type the certificate's key needs (75 without one), with the certificate
// kept beside the keys. A target that exists already is left alone; a copy
// that fails leaves no target behind. The new container's files are its
// owner's alone.
bool CopyContainer(const std::string& source, const std::string& target, const Bytes& cert_body);

// Copies the container to the registry reader under `new_name` (a fresh
// unique name when empty) when that reader is configured, then links the
// certificate to the copy, or to the original when there was no copy. True;
// failures of the link throw as InstallCertificateForContainer does.
bool CopyContainerToRegistry(const ProviderState& providers, const std::string& container, const Bytes& cert_body,
                             const std::string& new_name = {});

// Whether the registry key reader is set up: its "\Default" subkey with a
// "Name" value, or the reader's key with a "Dll" value.
bool RegistryReaderConfigured();

}  // namespace zuntar
