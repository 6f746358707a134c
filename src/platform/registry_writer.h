// Changes to the registry file, for the set-up and for tests that model a
// machine. The program itself only reads the registry.
//
// The writer loads the file once, collects the changes in memory and
// replaces the file in one step on Save, so readers never see half of it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/registry_hive.h"

namespace zuntar {

class RegistryWriter {
 public:
  // Loads `file_name` (an empty tree when it does not exist). Throws
  // EFOpenError when it exists but cannot be read.
  explicit RegistryWriter(std::string file_name);

  // Keys named by a path create their missing parents.
  void CreateKey(std::string_view key_path);
  void SetString(std::string_view key_path, std::string_view name, std::string_view value);
  void SetDword(std::string_view key_path, std::string_view name, uint32_t value);
  bool DeleteValue(std::string_view key_path, std::string_view name);
  // Removes the key with all its subkeys.
  bool DeleteKey(std::string_view key_path);

  // Writes the tree to the file through a sibling file and a rename,
  // creating the file's folder when needed. Throws EFCreateError.
  void Save() const;

  const RegistryHive& hive() const { return hive_; }

 private:
  std::string file_name_;
  RegistryHive hive_;
};

}  // namespace zuntar
