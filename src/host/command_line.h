// The program's command line, read the way the platform's switch helper
// reads it: a switch is "-", "/" or "\" followed by its name, in any case,
// anywhere on the line; every other argument is left alone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zuntar {

// A switch the program knows, with its line in the usage text. Adding a
// switch is one more entry here and a HasSwitch call where it acts.
struct SwitchInfo {
  const char* name;
  const char* help;
};

inline constexpr SwitchInfo kSwitches[] = {
    {"INSTALL", "register the service (systemd unit) and end"},
    {"UNINSTALL", "remove the service and end"},
    {"SILENT", "with INSTALL or UNINSTALL: print no result"},
    {"CREATEDB", "create the task database (DBPATH) if it is missing, and end"},
};

class CommandLine {
 public:
  // The arguments after the program name.
  explicit CommandLine(std::vector<std::string> args) : args_(std::move(args)) {}
  static CommandLine FromMain(int argc, const char* const* argv);

  // True when an argument is "-", "/" or "\" followed by `name`, compared
  // without regard to case.
  bool HasSwitch(std::string_view name) const;

  // The trimmed text after the first '=' of the first argument that holds
  // "INSTANCE" (in any case) and a '='; empty when there is none.
  std::string InstanceName() const;

  // "--help" or "-h", and "--version": answered before anything starts.
  bool WantsHelp() const;
  bool WantsVersion() const;

  const std::vector<std::string>& args() const { return args_; }

 private:
  bool HasArgument(std::string_view text) const;

  std::vector<std::string> args_;
};

// The usage text for --help.
std::string UsageText(std::string_view program_name);

}  // namespace zuntar
