#include "host/unhandled.h"

#include "core/log.h"
#include "platform/exception.h"

namespace zuntar {

std::string UnhandledExceptionText(const std::string& class_name, const std::string& message) {
  return "Unhandled exception " + class_name + " " + message;
}

std::string UnhandledExceptionText(const std::exception& e) {
  const auto* own = dynamic_cast<const Exception*>(&e);
  return UnhandledExceptionText(own != nullptr ? own->ClassName() : "Exception", e.what());
}

bool RunGuarded(const std::function<void()>& operation) {
  try {
    operation();
    return true;
  } catch (const std::exception& e) {
    LogError(UnhandledExceptionText(e));
  }
  return false;
}

}  // namespace zuntar
