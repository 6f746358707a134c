#include "platform/registry_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/exception.h"
#include "platform/file_io.h"

namespace zuntar {

RegistryWriter::RegistryWriter(std::string file_name)
    : file_name_(std::move(file_name)), hive_(RegistryHive::Load(file_name_)) {}

void RegistryWriter::CreateKey(std::string_view key_path) { hive_.Create(key_path); }

void RegistryWriter::SetString(std::string_view key_path, std::string_view name, std::string_view value) {
  RegistryValue v;
  v.name = std::string(name);
  v.type = RegistryValueType::kString;
  v.text = std::string(value);
  hive_.Create(key_path).SetValue(std::move(v));
}

void RegistryWriter::SetDword(std::string_view key_path, std::string_view name, uint32_t value) {
  RegistryValue v;
  v.name = std::string(name);
  v.type = RegistryValueType::kDword;
  v.dword = value;
  hive_.Create(key_path).SetValue(std::move(v));
}

bool RegistryWriter::DeleteValue(std::string_view key_path, std::string_view name) {
  RegistryNode* node = hive_.Find(key_path);
  return node != nullptr && node->RemoveValue(name);
}

bool RegistryWriter::DeleteKey(std::string_view key_path) { return hive_.Remove(key_path); }

void RegistryWriter::Save() const {
  const std::filesystem::path folder = std::filesystem::path(file_name_).parent_path();
  std::error_code ec;
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  const std::string temp = file_name_ + ".tmp";
  WriteStringToFile(hive_.Format(), temp);
  if (std::rename(temp.c_str(), file_name_.c_str()) != 0) {
    const int err = errno;
    std::remove(temp.c_str());
    throw EFCreateError("Cannot create file \"" + file_name_ + "\". " + std::strerror(err));
  }
}

}  // namespace zuntar
