#include "platform/login_session.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>

#include <cstdlib>
#include <memory>

namespace zuntar {

std::string CurrentLoginSession() {
  char* session = nullptr;
  if (sd_pid_get_session(0, &session) >= 0 && session != nullptr) {
    const std::unique_ptr<char, decltype(&std::free)> owned(session, &std::free);
    return session;
  }
  const char* from_environment = std::getenv("XDG_SESSION_ID");
  return from_environment != nullptr ? from_environment : "";
}

std::string LoginSessionObjectPath(const std::string& session) {
  char* path = nullptr;
  if (session.empty() || sd_bus_path_encode("/org/freedesktop/login1/session", session.c_str(), &path) < 0)
    return {};
  const std::unique_ptr<char, decltype(&std::free)> owned(path, &std::free);
  return path;
}

}  // namespace zuntar
