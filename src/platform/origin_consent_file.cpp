#include "platform/origin_consent_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "platform/exception.h"
#include "platform/file_io.h"
#include "platform/platform_root.h"
#include "platform/private_files.h"
#include "platform/unique_fd.h"

namespace zuntar {
namespace {

constexpr char kAlways[] = "always";
constexpr char kDeny[] = "deny";

bool IsStorable(const std::string& origin) {
  if (origin.empty()) return false;
  for (const unsigned char c : origin)
    if (c <= 0x20 || c == 0x7F) return false;
  return true;
}

// "<always|deny> <origin>" lines.
std::map<std::string, OriginConsent> Parse(const std::string& text) {
  std::map<std::string, OriginConsent> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t blank = line.find(' ');
    if (blank == std::string::npos) continue;
    const std::string word = line.substr(0, blank);
    const std::string origin = line.substr(blank + 1);
    if (!IsStorable(origin)) continue;
    if (word == kAlways) out[origin] = OriginConsent::kAllowAlways;
    if (word == kDeny) out[origin] = OriginConsent::kDeny;
  }
  return out;
}

std::string Format(const std::map<std::string, OriginConsent>& entries) {
  std::string text;
  for (const auto& [origin, consent] : entries)
    text += std::string(consent == OriginConsent::kAllowAlways ? kAlways : kDeny) + " " + origin + "\n";
  return text;
}

// Held while a process changes the file; other writers wait their turn.
UniqueFd LockBeside(const std::string& file_name) {
  UniqueFd fd(::open((file_name + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) throw EFCreateError("Cannot create file \"" + file_name + ".lock\". " + std::strerror(errno));
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) throw EFCreateError("Cannot lock file \"" + file_name + ".lock\". " + std::strerror(errno));
  }
  return fd;
}

}  // namespace

OriginConsentFile::OriginConsentFile(std::string file_name) : file_name_(std::move(file_name)) {}

std::string OriginConsentFile::DefaultFileName() { return UserDir() + "/origin_consent"; }

std::map<std::string, OriginConsent> OriginConsentFile::Load() const {
  try {
    return Parse(ReadFileToString(file_name_));
  } catch (const Exception&) {
    return {};
  }
}

std::optional<OriginConsent> OriginConsentFile::Find(const std::string& origin) const {
  const auto entries = Load();
  const auto it = entries.find(origin);
  if (it == entries.end()) return std::nullopt;
  return it->second;
}

template <class Change>
bool OriginConsentFile::Update(Change change) {
  MakeFolders(std::filesystem::path(file_name_).parent_path().string());
  const UniqueFd lock = LockBeside(file_name_);
  // A file that exists but cannot be read is never replaced by a shorter list.
  std::map<std::string, OriginConsent> entries;
  if (FileExists(file_name_)) entries = Parse(ReadFileToString(file_name_));
  if (!change(entries)) return false;
  ReplaceFileAtomically(file_name_, Format(entries), 0600);
  return true;
}

void OriginConsentFile::Remember(const std::string& origin, OriginConsent consent) {
  if (consent != OriginConsent::kAllowAlways && consent != OriginConsent::kDeny)
    throw std::invalid_argument("only \"always\" and \"deny\" are remembered");
  if (!IsStorable(origin)) throw std::invalid_argument("not an origin: \"" + origin + "\"");
  Update([&](std::map<std::string, OriginConsent>& entries) {
    auto [it, added] = entries.try_emplace(origin, consent);
    if (added || it->second != consent) {
      it->second = consent;
      return true;
    }
    return false;
  });
}

bool OriginConsentFile::Forget(const std::string& origin) {
  return Update([&](std::map<std::string, OriginConsent>& entries) { return entries.erase(origin) > 0; });
}

}  // namespace zuntar
