// The last line of defence around the control operations and the settings
// window: whatever escapes is written to the log as
// "Unhandled exception <class> <message>" and the plugin goes on.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace zuntar {

// "Unhandled exception " + class name + " " + message, in the ANSI code page.
std::string UnhandledExceptionText(const std::exception& e);
std::string UnhandledExceptionText(const std::string& class_name, const std::string& message);

// Runs `operation`; what escapes it is logged. True when nothing escaped.
bool RunGuarded(const std::function<void()>& operation);

}  // namespace zuntar
