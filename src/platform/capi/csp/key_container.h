// Key containers on disk and the readers that find them.
//
// A container is a folder "<something>.000" holding:
//   name          the container's name (UTF-8)
//   key1.p8       the exchange key, PKCS #8 (encrypted when it has a PIN)
//   key2.p8       the signature key, likewise
//   key1.pub      the public key of a key (SubjectPublicKeyInfo DER), so
//                 that public operations need no PIN (also key2.pub)
//   key1.cer      the certificate stored with a key (also key2.cer)
//   params        provider parameters of the container ("<id> <value>" lines)
// Readers: the registry key reader, a folder under the machine folder whose
// containers are named "\\.\REGISTRY\<name>", and removable media: every
// container folder on the volumes mounted under the media roots (those of
// platform_root.h, then the ones listed in the registry value "Roots" of
// kMediaReaderKeyPath, separated by ';'), named "\\.\FAT12_<letter>\<path>",
// letters given to the volumes in that order from 'A'. Only what is
// reachable now is found.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/capi/base/crypt_types.h"

namespace zuntar {

inline constexpr char kMediaReaderKeyPath[] =
    "SOFTWARE\\Crypto Pro\\Cryptography\\CurrentVersion\\KeyDevices\\FAT12";

struct ContainerLocation {
  std::string folder;       // absolute path of the container folder
  std::string name;         // the stored name
  std::string fqcn;         // "\\.\REGISTRY\<name>" or "\\.\FAT12_<L>\<path>"
  std::string unique;       // "REGISTRY\<folder name>" or "FAT12_<L>\<path>"
  bool removable = false;
};

class KeyContainerFolder {
 public:
  explicit KeyContainerFolder(std::string folder) : folder_(std::move(folder)) {}
  const std::string& folder() const { return folder_; }

  std::string Name() const;
  // False once the folder is gone (its medium was removed).
  bool Reachable() const;
  // The file of the private key of a key spec.
  std::string KeyPath(DWORD key_spec) const;
  bool HasKey(DWORD key_spec) const;
  bool ReadKey(DWORD key_spec, Bytes* pkcs8) const;
  bool WriteKey(DWORD key_spec, const Bytes& pkcs8) const;
  bool ReadPublicKey(DWORD key_spec, Bytes* spki) const;
  bool WritePublicKey(DWORD key_spec, const Bytes& spki) const;
  bool ReadCertificate(DWORD key_spec, Bytes* der) const;
  bool WriteCertificate(DWORD key_spec, const Bytes& der) const;
  std::map<DWORD, std::string> Params() const;
  bool WriteParams(const std::map<DWORD, std::string>& params) const;

 private:
  std::string folder_;
};

// The registry reader's folder.
std::string RegistryReaderFolder();

// Every container reachable now, registry reader first, then the media in
// letter order; each list sorted by folder.
std::vector<ContainerLocation> EnumerateContainers();

// The container a name denotes: "\\.\REGISTRY\<name>", "REGISTRY\\<name>",
// "\\.\FAT12_<L>\<path or name>" or a bare name searched on every reader.
std::optional<ContainerLocation> FindContainer(const std::string& name);

// True when the name can only live on removable media (so a missing
// container may come back when the person inserts it).
bool NamesRemovableOrAnyReader(const std::string& name);

// Creates an empty container for the name: on the registry reader for
// registry and bare names, at the path on the volume for FAT12 names.
// Nothing when it cannot be made, and *why (when given) says what stood in
// the way: the container exists, there is no such medium, or a folder could
// not be made (with its path and the system's reason).
std::optional<ContainerLocation> CreateContainer(const std::string& name, std::string* why = nullptr);
bool DeleteContainer(const ContainerLocation& location);

}  // namespace zuntar
