// The single-instance mutex: a named lock held for the life of the process.
//
// It is an exclusive flock on <RuntimeDir()>/<name>.lock, a file of mode
// 0600 in the user's private run-time folder that holds the holder's
// process id. The kernel drops the lock when the process ends in any way,
// crash included, so a stale lock file never keeps the program from
// starting. The service's lock is /run/zuntar-mervo-plugin/<name>.lock.
#pragma once

#include <string>

#include "platform/unique_fd.h"

namespace zuntar {

class NamedMutex {
 public:
  enum class Result {
    kCreated,        // this object now holds the lock
    kAlreadyExists,  // another holder has it (the platform's error 183)
    kFailed,         // no lock file could be used; nothing is held
  };

  // Takes the lock without waiting. The object holds it until destroyed.
  explicit NamedMutex(const std::string& name);

  Result result() const { return result_; }
  // Why the lock could not be taken when result() is kFailed.
  const std::string& problem() const { return problem_; }
  // The lock file used for the name.
  const std::string& file_name() const { return file_name_; }

 private:
  std::string file_name_;
  UniqueFd fd_;
  Result result_ = Result::kFailed;
  std::string problem_;
};

// <RuntimeDir()>/<escaped name>.lock.
std::string NamedMutexFile(const std::string& name);

}  // namespace zuntar
