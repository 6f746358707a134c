// Read access to HKEY_LOCAL_MACHINE of the registry stand-in.
//
// A key is opened from a snapshot of the registry file taken when the
// first key is opened; subkeys opened from it share that snapshot, so one
// enumeration never sees a half-changed file. Names are compared without
// regard to ASCII case; strings are UTF-8, as the file holds them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry_hive.h"

namespace zuntar {

class RegistryKey {
 public:
  // HKEY_LOCAL_MACHINE\<path> from RegistryFile(). Nothing when the key is
  // missing, as when the file is missing or cannot be read (the platform
  // answers "not found" or "access denied" there, and callers treat both
  // as an absent key).
  static std::optional<RegistryKey> OpenLocalMachine(std::string_view path);
  // The same from a given file (tests, tools).
  static std::optional<RegistryKey> OpenLocalMachine(const std::string& file_name, std::string_view path);
  // The same from a tree already in memory.
  static std::optional<RegistryKey> Open(std::shared_ptr<const RegistryHive> hive, std::string_view path);

  // A subkey of this key by relative path.
  std::optional<RegistryKey> OpenSubKey(std::string_view path) const;

  // The key's own name (the last part of its path).
  const std::string& Name() const { return node_->name(); }
  // Names of the direct subkeys, in the order of the file.
  std::vector<std::string> SubKeyNames() const;
  // Names of the values, in the order of the file ("" is the default value).
  std::vector<std::string> ValueNames() const;

  // A string value (REG_SZ, or REG_EXPAND_SZ unexpanded); nothing when
  // missing or of another type.
  std::optional<std::string> ReadString(std::string_view name) const;
  // A DWORD value; nothing when missing or of another type.
  std::optional<uint32_t> ReadDword(std::string_view name) const;
  bool HasValue(std::string_view name) const { return node_->FindValue(name) != nullptr; }

 private:
  RegistryKey(std::shared_ptr<const RegistryHive> hive, const RegistryNode* node)
      : hive_(std::move(hive)), node_(node) {}

  std::shared_ptr<const RegistryHive> hive_;
  const RegistryNode* node_;
};

}  // namespace zuntar
