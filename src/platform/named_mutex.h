// The single-instance mutex: a named, machine-wide lock held for the life
// of the process.
//
// It is an exclusive flock on <RuntimeDir()>/<name>.lock. The kernel drops
// the lock when the process ends in any way, crash included, so a stale
// lock file never keeps the program from starting.
#pragma once

#include <string>

#include "platform/unique_fd.h"

namespace zuntar {

class NamedMutex {
 public:
  enum class Result {
    kCreated,        // this object now holds the lock
    kAlreadyExists,  // another holder has it (the platform's error 183)
    kFailed,         // the lock file could not be opened; nothing is held
  };

  // Takes the lock without waiting. The object holds it until destroyed.
  explicit NamedMutex(const std::string& name);

  Result result() const { return result_; }
  // errno of the failure when result() is kFailed.
  int error() const { return error_; }
  // The lock file used for the name.
  const std::string& file_name() const { return file_name_; }

 private:
  std::string file_name_;
  UniqueFd fd_;
  Result result_ = Result::kFailed;
  int error_ = 0;
};

// <RuntimeDir()>/<escaped name>.lock.
std::string NamedMutexFile(const std::string& name);

}  // namespace zuntar
