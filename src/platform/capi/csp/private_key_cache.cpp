#include "platform/capi/csp/private_key_cache.h"

#include <sys/stat.h>

#include <algorithm>
#include <iterator>

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

PrivateKeyCache::PrivateKeyCache(Clock clock) : clock_(std::move(clock)) {}

PrivateKeyCache::~PrivateKeyCache() {
  std::thread sweeper;
  {
    MutexLock lock(mu_);
    sweeper_stop_ = true;
    sweeper = std::move(sweeper_);
  }
  sweeper_wake_.NotifyAll();
  if (sweeper.joinable()) sweeper.join();
}

void PrivateKeyCache::SetIdleLimit(std::chrono::minutes limit) {
  {
    MutexLock lock(mu_);
    idle_limit_ = std::max(limit, std::chrono::minutes(0));
    DropIdleLocked();
    if (idle_limit_.count() > 0 && !sweeper_.joinable()) sweeper_ = std::thread([this] { SweepIdleKeys(); });
  }
  sweeper_wake_.NotifyAll();
}

void PrivateKeyCache::DropIdle() {
  MutexLock lock(mu_);
  DropIdleLocked();
}

bool PrivateKeyCache::Idle(const Opened& opened, TimePoint now, std::chrono::minutes limit) {
  return limit.count() > 0 && now - opened.last_used >= limit;
}

void PrivateKeyCache::DropIdleLocked() {
  const TimePoint now = clock_();
  const std::chrono::minutes limit = idle_limit_;
  for (auto container = containers_.begin(); container != containers_.end();) {
    std::erase_if(container->second, [&](const auto& key) { return Idle(key.second, now, limit); });
    container = container->second.empty() ? containers_.erase(container) : std::next(container);
  }
}

// Wakes when the key used longest ago reaches the limit, or when the keys
// or the limit change.
void PrivateKeyCache::SweepIdleKeys() {
  MutexLock lock(mu_);
  while (!sweeper_stop_) {
    DropIdleLocked();
    std::optional<TimePoint> oldest;
    for (const auto& [folder, container] : containers_)
      for (const auto& [key_spec, opened] : container)
        if (!oldest || opened.last_used < *oldest) oldest = opened.last_used;
    if (idle_limit_.count() == 0 || !oldest) {
      sweeper_wake_.Wait(mu_);
    } else {
      sweeper_wake_.WaitFor(mu_, *oldest + idle_limit_ - clock_());
    }
  }
}

PrivateKeyCache& PrivateKeyCache::Process() {
  static PrivateKeyCache cache;
  return cache;
}

PrivateKeyCache::ContainerGuard PrivateKeyCache::LockContainer(const std::string& folder) {
  std::shared_ptr<std::mutex> mu;
  {
    MutexLock lock(mu_);
    auto& slot = opening_[folder];
    if (slot == nullptr) slot = std::make_shared<std::mutex>();
    mu = slot;
  }
  return ContainerGuard(std::move(mu));
}

std::shared_ptr<KeyPair> PrivateKeyCache::Find(const std::string& folder, DWORD key_spec, const KeyFileId& file,
                                               const std::string* pin) {
  MutexLock lock(mu_);
  const auto container = containers_.find(folder);
  if (container == containers_.end()) return nullptr;
  const auto key = container->second.find(key_spec);
  if (key == container->second.end()) return nullptr;
  Opened& opened = key->second;
  const TimePoint now = clock_();
  if (!(opened.file == file) || Idle(opened, now, idle_limit_)) {
    container->second.erase(key);
    if (container->second.empty()) containers_.erase(container);
    return nullptr;
  }
  if (pin != nullptr && opened.pin && !opened.pin->Equals(*pin)) return nullptr;
  opened.last_used = now;
  return opened.pair;
}

std::optional<SecretText> PrivateKeyCache::Pin(const std::string& folder) const {
  MutexLock lock(mu_);
  const auto container = containers_.find(folder);
  if (container == containers_.end()) return std::nullopt;
  const TimePoint now = clock_();
  for (const auto& [key_spec, opened] : container->second)
    if (opened.pin && !Idle(opened, now, idle_limit_)) return opened.pin;
  return std::nullopt;
}

void PrivateKeyCache::Put(const std::string& folder, DWORD key_spec, const KeyFileId& file,
                          std::shared_ptr<KeyPair> pair, const SecretText* pin) {
  Opened opened{file, std::move(pair), std::nullopt, clock_()};
  if (pin != nullptr) opened.pin = *pin;
  {
    MutexLock lock(mu_);
    containers_[folder].insert_or_assign(key_spec, std::move(opened));
  }
  sweeper_wake_.NotifyAll();
}

void PrivateKeyCache::DropKey(const std::string& folder, DWORD key_spec) {
  MutexLock lock(mu_);
  const auto container = containers_.find(folder);
  if (container == containers_.end()) return;
  container->second.erase(key_spec);
  if (container->second.empty()) containers_.erase(container);
}

void PrivateKeyCache::Drop(const std::string& folder) {
  MutexLock lock(mu_);
  containers_.erase(folder);
}

void PrivateKeyCache::DropUnreachable() {
  MutexLock lock(mu_);
  std::erase_if(containers_, [](const auto& entry) {
    struct stat st {};
    return ::stat(entry.first.c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
  });
}

void PrivateKeyCache::DropAllBut(const std::vector<std::string>& reachable) {
  MutexLock lock(mu_);
  std::erase_if(containers_, [&](const auto& entry) {
    return std::find(reachable.begin(), reachable.end(), entry.first) == reachable.end();
  });
}

void PrivateKeyCache::DropAll() {
  MutexLock lock(mu_);
  containers_.clear();
}

}  // namespace zuntar::csp
