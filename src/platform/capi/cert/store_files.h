// The files of a persistent certificate store.
//
// A store is a folder. Each certificate is "<sequence>-<SHA-1>.cer" (its DER)
// with its properties beside it in "<sequence>-<SHA-1>.prop"; each CRL is
// "<sequence>-<SHA-1>.crl". The sequence number, eight decimal digits, keeps
// the enumeration in the order of addition. Every file is written to a
// temporary name and renamed into place, so a reader in another process sees
// either the old or the new file; writers serialise on an flock of ".lock".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/capi/base/crypt_types.h"
#include "platform/unique_fd.h"

namespace zuntar {

// What a store's folder records of its own last change. Every change of a
// store renames a file into its folder or removes one (nothing is written
// in place), and so moves the folder's modification and change times: two
// equal stamps mean no change in between, provided the first was settled.
// A stamp is settled when its times lie further back than any file
// system's time granularity: a second change within the same tick (2 s on
// FAT media) could otherwise leave the times exactly as they were.
struct FolderStamp {
  bool exists = false;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modified_ns = 0;
  int64_t changed_ns = 0;
  bool settled = false;

  // Equal in everything but `settled`.
  bool SameFolderState(const FolderStamp& other) const;
};

class StoreFolder {
 public:
  explicit StoreFolder(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }
  bool Exists() const;
  // The folder's stamp now; a missing folder has a settled stamp that
  // exists not.
  FolderStamp Stamp() const;

  // Stems ("<sequence>-<hash>") of the entries with the extension, sorted.
  std::vector<std::string> Entries(const std::string& extension) const;
  bool Read(const std::string& stem, const std::string& extension, Bytes* bytes) const;

  // Exclusive writer lock for the life of the returned descriptor; creates
  // the folder. Invalid when the folder cannot be made.
  UniqueFd Lock() const;
  // The stem for a new entry: one above the highest sequence present.
  std::string NewStem(const std::string& hash_hex) const;
  // `owner_only` leaves the file readable and writable by its owner alone
  // (private keys). On failure errno says why.
  bool Write(const std::string& stem, const std::string& extension, const Bytes& bytes,
             bool owner_only = false) const;
  void Remove(const std::string& stem, const std::string& extension) const;

 private:
  std::string path_;
};

Bytes EncodeProperties(const std::map<DWORD, Bytes>& properties);
std::map<DWORD, Bytes> DecodeProperties(const Bytes& text);

std::string HexUpper(const Bytes& bytes);

}  // namespace zuntar
