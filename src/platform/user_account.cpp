#include "platform/user_account.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace zuntar {

std::string ProcessUserName() {
  const uid_t uid = geteuid();
  std::vector<char> buffer(16384);
  passwd pw{};
  passwd* found = nullptr;
  std::string name;
  if (getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
    name = found->pw_name;
  else
    name = std::to_string(uid);
  if (name.size() > 255) name.resize(255);
  return name;
}

std::optional<int> NiceValueForPriorityClass(unsigned priority_class) {
  switch (priority_class) {
    case kIdlePriorityClass: return 19;
    case kBelowNormalPriorityClass: return 10;
    case kNormalPriorityClass: return 0;
    case kAboveNormalPriorityClass: return -5;
    case kHighPriorityClass: return -10;
    case kRealtimePriorityClass: return -20;
    default: return std::nullopt;
  }
}

bool SetPriorityClass(unsigned priority_class) {
  const std::optional<int> nice = NiceValueForPriorityClass(priority_class);
  if (!nice) return false;
  // Linux keeps the nice value per thread, while a priority class belongs to
  // the whole process: set it on each thread that exists now.
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return setpriority(PRIO_PROCESS, 0, *nice) == 0;
  bool ok = true;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const id_t tid = static_cast<id_t>(std::strtoul(entry->d_name, nullptr, 10));
    if (setpriority(PRIO_PROCESS, tid, *nice) != 0) ok = false;
  }
  closedir(dir);
  return ok;
}

}  // namespace zuntar
