#include "platform/crypto/csp/private_key_cache.h"

#include <sys/stat.h>

#include <algorithm>

namespace zuntar::csp {

std::optional<KeyFileId> IdentifyKeyFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  KeyFileId id;
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.size = st.st_size;
  id.modified_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  return id;
}

PrivateKeyCache& PrivateKeyCache::Process() {
  static PrivateKeyCache cache;
  return cache;
}

PrivateKeyCache::ContainerGuard PrivateKeyCache::LockContainer(const std::string& folder) {
  std::shared_ptr<std::mutex> mu;
  {
    std::lock_guard lock(mu_);
    auto& slot = opening_[folder];
    if (slot == nullptr) slot = std::make_shared<std::mutex>();
    mu = slot;
  }
  return ContainerGuard(std::move(mu));
}

std::shared_ptr<KeyPair> PrivateKeyCache::Find(const std::string& folder, DWORD key_spec, const KeyFileId& file,
                                               const std::string* pin) {
  std::lock_guard lock(mu_);
  const auto container = containers_.find(folder);
  if (container == containers_.end()) return nullptr;
  const auto key = container->second.find(key_spec);
  if (key == container->second.end()) return nullptr;
  const Opened& opened = key->second;
  if (!(opened.file == file)) {
    container->second.erase(key);
    return nullptr;
  }
  if (pin != nullptr && opened.pin && !opened.pin->Equals(*pin)) return nullptr;
  return opened.pair;
}

std::optional<SecretText> PrivateKeyCache::Pin(const std::string& folder) const {
  std::lock_guard lock(mu_);
  const auto container = containers_.find(folder);
  if (container == containers_.end()) return std::nullopt;
  for (const auto& [spec, opened] : container->second)
    if (opened.pin) return opened.pin;
  return std::nullopt;
}

void PrivateKeyCache::Put(const std::string& folder, DWORD key_spec, const KeyFileId& file,
                          std::shared_ptr<KeyPair> pair, const SecretText* pin) {
  Opened opened{file, std::move(pair), std::nullopt};
  if (pin != nullptr) opened.pin = *pin;
  std::lock_guard lock(mu_);
  containers_[folder].insert_or_assign(key_spec, std::move(opened));
}

void PrivateKeyCache::DropKey(const std::string& folder, DWORD key_spec) {
  std::lock_guard lock(mu_);
  const auto container = containers_.find(folder);
  if (container == containers_.end()) return;
  container->second.erase(key_spec);
  if (container->second.empty()) containers_.erase(container);
}

void PrivateKeyCache::Drop(const std::string& folder) {
  std::lock_guard lock(mu_);
  containers_.erase(folder);
}

void PrivateKeyCache::DropUnreachable() {
  std::lock_guard lock(mu_);
  std::erase_if(containers_, [](const auto& entry) {
    struct stat st {};
    return ::stat(entry.first.c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
  });
}

void PrivateKeyCache::DropAllBut(const std::vector<std::string>& reachable) {
  std::lock_guard lock(mu_);
  std::erase_if(containers_, [&](const auto& entry) {
    return std::find(reachable.begin(), reachable.end(), entry.first) == reachable.end();
  });
}

void PrivateKeyCache::DropAll() {
  std::lock_guard lock(mu_);
  containers_.clear();
}

}  // namespace zuntar::csp
