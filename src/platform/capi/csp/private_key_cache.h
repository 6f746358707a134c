// The provider's cache of unlocked private keys.
//
// Once the person has given a container's PIN, the container's keys stay
// open for the life of the process with the PIN that opened them, so that
// every later context on that container (a task each) signs without asking
// again. A container is known by its folder, which holds its reader (the
// registry folder or the medium's mount) and its place there. An entry goes
// when its container cannot be reached any more (the medium was removed),
// when its key file is no longer the one that was read (the key was
// replaced), with an idle limit when a key has not been used for that long,
// and all of them when the process drops the cache (Stop, the desktop
// session locked or ended).
//
// Only keys that opened go in: a wrong PIN never does.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/capi/base/crypt_types.h"
#include "platform/capi/base/secret_text.h"
#include "platform/capi/csp/key_pair.h"
#include "platform/thread_annotations.h"

namespace zuntar::csp {

// One version of a key file. A key written anew (re-imported, generated) is
// a new file renamed over the old one, so its identity differs.
struct KeyFileId {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t modified_ns = 0;
  bool operator==(const KeyFileId&) const = default;
};

// Nothing when the file cannot be reached.
std::optional<KeyFileId> IdentifyKeyFile(const std::string& path);

class PrivateKeyCache {
 public:
  // The one cache of the provider in this process.
  static PrivateKeyCache& Process();

  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // `clock` tells the time of each use (tests give one of their own).
  explicit PrivateKeyCache(Clock clock = &std::chrono::steady_clock::now);
  ~PrivateKeyCache();
  PrivateKeyCache(const PrivateKeyCache&) = delete;
  PrivateKeyCache& operator=(const PrivateKeyCache&) = delete;

  // Keys unused for `limit` are forgotten: at their next use, and by a
  // thread of the cache on time, so they do not stay in memory either.
  // Zero keeps them until they are dropped.
  void SetIdleLimit(std::chrono::minutes limit);
  // Forgets the keys unused for the idle limit now.
  void DropIdle();

  // Keeps other threads from opening keys of the container while it is
  // held, so that threads needing the same locked key wait for one PIN
  // question instead of asking one each. Its mutex guards no data, only
  // the opening, so there is nothing for the analysis to check.
  class ContainerGuard {
   public:
    explicit ContainerGuard(std::shared_ptr<std::mutex> mu) : mu_(std::move(mu)), lock_(*mu_) {}

   private:
    std::shared_ptr<std::mutex> mu_;  // first: outlives the lock
    std::unique_lock<std::mutex> lock_;
  };
  ContainerGuard LockContainer(const std::string& folder);

  // The key of the key spec read from this version of the key file. With a
  // PIN given by the caller, a PIN-protected key is served only when that
  // PIN is the one that opened it. A key whose file changed is dropped.
  std::shared_ptr<KeyPair> Find(const std::string& folder, DWORD key_spec, const KeyFileId& file,
                                const std::string* pin);
  // The PIN that opened a key of the container, to try on its other keys.
  std::optional<SecretText> Pin(const std::string& folder) const;
  // `pin` is null for a key without PIN.
  void Put(const std::string& folder, DWORD key_spec, const KeyFileId& file, std::shared_ptr<KeyPair> pair,
           const SecretText* pin);

  void DropKey(const std::string& folder, DWORD key_spec);
  void Drop(const std::string& folder);
  // Drops the containers whose folders are gone.
  void DropUnreachable();
  // Drops the containers whose folders are not among these.
  void DropAllBut(const std::vector<std::string>& reachable);
  void DropAll();

 private:
  using TimePoint = std::chrono::steady_clock::time_point;
  struct Opened {
    KeyFileId file;
    std::shared_ptr<KeyPair> pair;
    std::optional<SecretText> pin;
    TimePoint last_used;
  };
  using Container = std::map<DWORD, Opened>;

  static bool Idle(const Opened& opened, TimePoint now, std::chrono::minutes limit);
  void DropIdleLocked() REQUIRES(mu_);
  void SweepIdleKeys();

  const Clock clock_;
  mutable Mutex mu_;
  std::map<std::string, Container> containers_ GUARDED_BY(mu_);
  std::chrono::minutes idle_limit_ GUARDED_BY(mu_){0};
  CondVar sweeper_wake_;
  bool sweeper_stop_ GUARDED_BY(mu_) = false;
  std::thread sweeper_ GUARDED_BY(mu_);  // started with the first idle limit
  // Kept apart from the entries, and never dropped, so that a drop while a
  // key is being opened cannot let a second opening run beside it.
  std::map<std::string, std::shared_ptr<std::mutex>> opening_ GUARDED_BY(mu_);
};

}  // namespace zuntar::csp
