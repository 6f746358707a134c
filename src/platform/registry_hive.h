// HKEY_LOCAL_MACHINE held in memory: the tree of keys and values that the
// registry stand-in reads from, and writes to, a .reg-style text file.
//
// The text is the Wine/regedit format: "[KEY\PATH]" sections (an optional
// "HKEY_LOCAL_MACHINE\" prefix, backslashes single or doubled, anything after
// the closing bracket ignored) followed by "Name"="value", @="value" (the
// default value), "Name"=str(2):"%VAR%\x" and "Name"=dword:0000002a lines. Key and value names
// compare without regard to ASCII case. Subkeys keep the order in which the
// file first names them. The file is UTF-8.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zuntar {

enum class RegistryValueType : uint32_t {
  kString = 1,        // REG_SZ
  kExpandString = 2,  // REG_EXPAND_SZ, written str(2):"..." (kept unexpanded)
  kDword = 4,         // REG_DWORD
  kOther = 0,         // any other type, kept as its raw text for writing back
};

struct RegistryValue {
  std::string name;  // empty for the default value
  RegistryValueType type = RegistryValueType::kString;
  std::string text;  // the string of both string types; kOther: the text after '='
  uint32_t dword = 0;
};

// One key: its own name, its values and its subkeys in file order.
class RegistryNode {
 public:
  explicit RegistryNode(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  const std::vector<std::unique_ptr<RegistryNode>>& children() const { return children_; }
  const std::vector<RegistryValue>& values() const { return values_; }

  const RegistryNode* FindChild(std::string_view name) const;
  RegistryNode* FindChild(std::string_view name);
  // The child of that name, appended when missing.
  RegistryNode& Child(std::string_view name);
  bool RemoveChild(std::string_view name);

  const RegistryValue* FindValue(std::string_view name) const;
  // Replaces the value of the same name in place, or appends it.
  void SetValue(RegistryValue value);
  bool RemoveValue(std::string_view name);

 private:
  std::string name_;
  std::vector<std::unique_ptr<RegistryNode>> children_;
  std::vector<RegistryValue> values_;
};

class RegistryHive {
 public:
  RegistryHive() = default;

  // The tree the text describes. Lines it cannot understand are skipped,
  // as the platform's own loader does.
  static RegistryHive Parse(std::string_view text);
  // The file's tree; an empty hive when the file does not exist. Throws
  // EFOpenError when it exists but cannot be read.
  static RegistryHive Load(const std::string& file_name);

  // The whole tree as text that Parse reads back unchanged.
  std::string Format() const;

  // The key at `path` ("SOFTWARE\Vendor\Product"), or null.
  const RegistryNode* Find(std::string_view path) const;
  RegistryNode* Find(std::string_view path);
  // The key at `path`, created with any missing parents.
  RegistryNode& Create(std::string_view path);
  // Removes the key with everything below it; false when it was missing.
  bool Remove(std::string_view path);

  const RegistryNode& root() const { return root_; }

 private:
  RegistryNode root_{""};
};

// Names along a key path: separators single or doubled, empty parts and a
// leading "HKEY_LOCAL_MACHINE" or "HKLM" dropped.
std::vector<std::string> SplitRegistryPath(std::string_view path);

// ASCII case-insensitive equality of key and value names.
bool SameRegistryName(std::string_view a, std::string_view b);

}  // namespace zuntar
