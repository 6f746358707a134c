// Environment and waiting helpers for tests that start programs.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace zuntar::test {

// Sets an environment variable for the life of the object, then restores
// (or removes) it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_.c_str(), old_.c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

// Polls `done` for up to ten seconds, for what another process does in its
// own time; false when it never came true.
inline bool WaitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 200; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

}  // namespace zuntar::test
