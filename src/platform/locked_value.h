// A value that threads share: readers take a copy, a writer replaces it
// whole, so nobody sees it half-written.
#pragma once

#include <utility>

#include "platform/thread_annotations.h"

namespace zuntar {

template <typename T>
class LockedValue {
 public:
  LockedValue() = default;
  explicit LockedValue(T value) : value_(std::move(value)) {}
  LockedValue(const LockedValue&) = delete;
  LockedValue& operator=(const LockedValue&) = delete;

  T Get() const EXCLUDES(mu_) {
    MutexLock lock(mu_);
    return value_;
  }
  void Set(T value) EXCLUDES(mu_) {
    MutexLock lock(mu_);
    value_ = std::move(value);
  }

 private:
  mutable Mutex mu_;
  T value_ GUARDED_BY(mu_);
};

}  // namespace zuntar
