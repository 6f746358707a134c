#include "platform/registry.h"

#include "platform/exception.h"
#include "platform/platform_root.h"

namespace zuntar {

std::optional<RegistryKey> RegistryKey::OpenLocalMachine(std::string_view path) {
  return OpenLocalMachine(RegistryFile(), path);
}

std::optional<RegistryKey> RegistryKey::OpenLocalMachine(const std::string& file_name, std::string_view path) {
  std::shared_ptr<const RegistryHive> hive;
  try {
    hive = std::make_shared<const RegistryHive>(RegistryHive::Load(file_name));
  } catch (const Exception&) {
    return std::nullopt;
  }
  return Open(std::move(hive), path);
}

std::optional<RegistryKey> RegistryKey::Open(std::shared_ptr<const RegistryHive> hive, std::string_view path) {
  if (!hive) return std::nullopt;
  const RegistryNode* node = hive->Find(path);
  if (node == nullptr) return std::nullopt;
  return RegistryKey(std::move(hive), node);
}

std::optional<RegistryKey> RegistryKey::OpenSubKey(std::string_view path) const {
  const RegistryNode* node = node_;
  for (const std::string& name : SplitRegistryPath(path)) {
    node = node->FindChild(name);
    if (node == nullptr) return std::nullopt;
  }
  return RegistryKey(hive_, node);
}

std::vector<std::string> RegistryKey::SubKeyNames() const {
  std::vector<std::string> names;
  for (const auto& child : node_->children()) names.push_back(child->name());
  return names;
}

std::vector<std::string> RegistryKey::ValueNames() const {
  std::vector<std::string> names;
  for (const RegistryValue& v : node_->values()) names.push_back(v.name);
  return names;
}

std::optional<std::string> RegistryKey::ReadString(std::string_view name) const {
  const RegistryValue* v = node_->FindValue(name);
  if (v == nullptr || (v->type != RegistryValueType::kString && v->type != RegistryValueType::kExpandString))
    return std::nullopt;
  return v->text;
}

std::optional<uint32_t> RegistryKey::ReadDword(std::string_view name) const {
  const RegistryValue* v = node_->FindValue(name);
  if (v == nullptr || v->type != RegistryValueType::kDword) return std::nullopt;
  return v->dword;
}

}  // namespace zuntar
