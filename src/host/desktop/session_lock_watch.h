// Forgets the unlocked private keys when the person leaves the desktop:
// logind's word on the system bus that the session of this process locked
// its screen (the Lock request, or the LockedHint the desktop sets when it
// locks by itself), that the session ended, or that the machine shuts
// down. The keys live in the provider below this layer; the watch only
// calls the function it is given.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace zuntar {

class SessionLockSignals;

class SessionLockWatch {
 public:
  // `forget` gets a short reason ("the screen was locked"). An empty
  // session watches only for the machine's shutdown.
  SessionLockWatch(const std::string& session, std::function<void(const std::string& why)> forget);
  ~SessionLockWatch();
  SessionLockWatch(const SessionLockWatch&) = delete;
  SessionLockWatch& operator=(const SessionLockWatch&) = delete;

  // False when the system bus could not be reached: nothing is watched.
  bool watching() const { return watching_; }

 private:
  std::unique_ptr<SessionLockSignals> signals_;
  bool watching_ = false;
};

// The watch of application mode: every provider forgets its unlocked keys
// (DropPrivateKeyCache), and the log says why.
std::unique_ptr<SessionLockWatch> ForgetKeysWhenSessionLocks(const std::string& session);

}  // namespace zuntar
