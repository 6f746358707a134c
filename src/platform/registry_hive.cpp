#include "platform/registry_hive.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "platform/exception.h"
#include "platform/file_io.h"

namespace zuntar {
namespace {

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted string starting at s[pos] == '"'; leaves pos after the
// closing quote. Nothing when the quote is not closed.
std::optional<std::string> ReadQuoted(std::string_view s, size_t& pos) {
  std::string out;
  for (size_t i = pos + 1; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') {
      pos = i + 1;
      return out;
    }
    if (c != '\\' || i + 1 == s.size()) {
      out += c;
      continue;
    }
    const char e = s[++i];
    switch (e) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '0': out += '\0'; break;
      case 'x': {
        uint32_t cp = 0;
        int digits = 0;
        while (digits < 4 && i + 1 < s.size() && HexDigit(s[i + 1]) >= 0) {
          cp = cp * 16 + static_cast<uint32_t>(HexDigit(s[++i]));
          ++digits;
        }
        if (digits == 0) out += 'x'; else AppendUtf8(out, cp);
        break;
      }
      default: out += e; break;  // \\ and \" and anything else: the character itself
    }
  }
  return std::nullopt;
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%04x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// "name"=data or @=data; the value to set, or nothing for a deletion
// ("name"=-) and for lines that are not values at all.
struct ValueLine {
  std::string name;
  bool remove = false;
  RegistryValue value;
};

std::optional<ValueLine> ParseValueLine(std::string_view line) {
  ValueLine out;
  size_t pos = 0;
  if (line.front() == '@') {
    pos = 1;
  } else {
    std::optional<std::string> name = ReadQuoted(line, pos);
    if (!name) return std::nullopt;
    out.name = std::move(*name);
  }
  std::string_view rest = TrimBlanks(line.substr(pos));
  if (rest.empty() || rest.front() != '=') return std::nullopt;
  rest = TrimBlanks(rest.substr(1));
  out.value.name = out.name;
  if (rest == "-") {
    out.remove = true;
  } else if (!rest.empty() && rest.front() == '"') {
    size_t p = 0;
    std::optional<std::string> text = ReadQuoted(rest, p);
    if (!text) return std::nullopt;
    out.value.type = RegistryValueType::kString;
    out.value.text = std::move(*text);
  } else if (rest.size() > 7 && rest.substr(0, 7) == "str(2):" && rest[7] == '"') {
    size_t p = 0;
    std::optional<std::string> text = ReadQuoted(rest.substr(7), p);
    if (!text) return std::nullopt;
    out.value.type = RegistryValueType::kExpandString;
    out.value.text = std::move(*text);
  } else if (rest.size() > 6 && std::equal(rest.begin(), rest.begin() + 6, "dword:")) {
    const std::string digits(rest.substr(6));
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(digits.c_str(), &end, 16);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFul) return std::nullopt;
    out.value.type = RegistryValueType::kDword;
    out.value.dword = static_cast<uint32_t>(v);
  } else {
    out.value.type = RegistryValueType::kOther;
    out.value.text = std::string(rest);
  }
  return out;
}

void FormatNode(const RegistryNode& node, const std::string& path, std::string& out) {
  if (!path.empty() && (!node.values().empty() || node.children().empty())) {
    out += "\n[" + path + "]\n";
    for (const RegistryValue& v : node.values()) {
      out += v.name.empty() ? std::string("@") : Quote(v.name);
      out += '=';
      switch (v.type) {
        case RegistryValueType::kString: out += Quote(v.text); break;
        case RegistryValueType::kExpandString: out += "str(2):" + Quote(v.text); break;
        case RegistryValueType::kDword: {
          char buf[16];
          std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(v.dword));
          out += buf;
          break;
        }
        case RegistryValueType::kOther: out += v.text; break;
      }
      out += '\n';
    }
  }
  for (const auto& child : node.children())
    FormatNode(*child, path.empty() ? child->name() : path + "\\\\" + child->name(), out);
}

}  // namespace

bool SameRegistryName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return FoldAscii(x) == FoldAscii(y); });
}

std::vector<std::string> SplitRegistryPath(std::string_view path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = TrimBlanks(path.substr(start, end - start));
    if (!part.empty()) parts.emplace_back(part);
    start = end + 1;
  }
  if (!parts.empty() && (SameRegistryName(parts.front(), "HKEY_LOCAL_MACHINE") || SameRegistryName(parts.front(), "HKLM")))
    parts.erase(parts.begin());
  return parts;
}

RegistryNode* RegistryNode::FindChild(std::string_view name) {
  for (const auto& child : children_)
    if (SameRegistryName(child->name_, name)) return child.get();
  return nullptr;
}

const RegistryNode* RegistryNode::FindChild(std::string_view name) const {
  return const_cast<RegistryNode*>(this)->FindChild(name);
}

RegistryNode& RegistryNode::Child(std::string_view name) {
  if (RegistryNode* found = FindChild(name)) return *found;
  children_.push_back(std::make_unique<RegistryNode>(std::string(name)));
  return *children_.back();
}

bool RegistryNode::RemoveChild(std::string_view name) {
  const auto it = std::find_if(children_.begin(), children_.end(),
                               [&](const auto& c) { return SameRegistryName(c->name_, name); });
  if (it == children_.end()) return false;
  children_.erase(it);
  return true;
}

const RegistryValue* RegistryNode::FindValue(std::string_view name) const {
  for (const RegistryValue& v : values_)
    if (SameRegistryName(v.name, name)) return &v;
  return nullptr;
}

void RegistryNode::SetValue(RegistryValue value) {
  for (RegistryValue& v : values_) {
    if (SameRegistryName(v.name, value.name)) {
      value.name = std::move(v.name);  // the name keeps the spelling it was created with
      v = std::move(value);
      return;
    }
  }
  values_.push_back(std::move(value));
}

bool RegistryNode::RemoveValue(std::string_view name) {
  const auto it = std::find_if(values_.begin(), values_.end(),
                               [&](const RegistryValue& v) { return SameRegistryName(v.name, name); });
  if (it == values_.end()) return false;
  values_.erase(it);
  return true;
}

RegistryHive RegistryHive::Parse(std::string_view text) {
  RegistryHive hive;
  RegistryNode* current = nullptr;
  std::string pending;  // a hex value continued with a trailing backslash
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = TrimBlanks(text.substr(start, end - start));
    start = end + 1;
    if (!pending.empty()) {
      pending += line;
      if (!pending.empty() && pending.back() == '\\') {
        pending.pop_back();
        continue;
      }
      line = pending;
    }
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      pending.clear();
      const size_t close = line.find(']');
      if (close == std::string_view::npos) {
        current = nullptr;
        continue;
      }
      std::string_view path = line.substr(1, close - 1);
      if (!path.empty() && path.front() == '-') {
        hive.Remove(path.substr(1));
        current = nullptr;
      } else {
        current = SplitRegistryPath(path).empty() ? nullptr : &hive.Create(path);
      }
      continue;
    }
    if (current == nullptr || (line.front() != '"' && line.front() != '@')) continue;
    if (pending.empty() && line.back() == '\\' && line.find("=hex") != std::string_view::npos) {
      pending = std::string(line.substr(0, line.size() - 1));
      continue;
    }
    std::optional<ValueLine> value = ParseValueLine(line);
    pending.clear();
    if (!value) continue;
    if (value->remove) current->RemoveValue(value->name);
    else current->SetValue(std::move(value->value));
  }
  return hive;
}

RegistryHive RegistryHive::Load(const std::string& file_name) {
  std::error_code ec;
  if (!std::filesystem::exists(file_name, ec) && !ec) return RegistryHive();
  return Parse(ReadFileToString(file_name));
}

std::string RegistryHive::Format() const {
  std::string out = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n";
  FormatNode(root_, "", out);
  return out;
}

const RegistryNode* RegistryHive::Find(std::string_view path) const {
  return const_cast<RegistryHive*>(this)->Find(path);
}

RegistryNode* RegistryHive::Find(std::string_view path) {
  RegistryNode* node = &root_;
  for (const std::string& name : SplitRegistryPath(path)) {
    node = node->FindChild(name);
    if (node == nullptr) return nullptr;
  }
  return node;
}

RegistryNode& RegistryHive::Create(std::string_view path) {
  RegistryNode* node = &root_;
  for (const std::string& name : SplitRegistryPath(path)) node = &node->Child(name);
  return *node;
}

bool RegistryHive::Remove(std::string_view path) {
  std::vector<std::string> names = SplitRegistryPath(path);
  if (names.empty()) return false;
  const std::string last = names.back();
  names.pop_back();
  RegistryNode* node = &root_;
  for (const std::string& name : names) {
    node = node->FindChild(name);
    if (node == nullptr) return false;
  }
  return node->RemoveChild(last);
}

}  // namespace zuntar
