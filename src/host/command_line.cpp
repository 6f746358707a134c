#include "host/command_line.h"

#include "core/process_values.h"
#include "core/text.h"

namespace zuntar {

CommandLine CommandLine::FromMain(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return CommandLine(std::move(args));
}

bool CommandLine::HasSwitch(std::string_view name) const {
  for (const std::string& arg : args_) {
    if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '/' && arg[0] != '\\')) continue;
    if (SameText(std::string_view(arg).substr(1), name)) return true;
  }
  return false;
}

std::string CommandLine::InstanceName() const {
  for (const std::string& arg : args_) {
    const size_t eq = arg.find('=');
    if (eq != std::string::npos && UpperCase(arg).find("INSTANCE") != std::string::npos)
      return Trim(std::string_view(arg).substr(eq + 1));
  }
  return {};
}

bool CommandLine::HasArgument(std::string_view text) const {
  for (const std::string& arg : args_)
    if (arg == text) return true;
  return false;
}

bool CommandLine::WantsHelp() const { return HasArgument("--help") || HasArgument("-h"); }

bool CommandLine::WantsVersion() const { return HasArgument("--version"); }

std::string UsageText(std::string_view program_name) {
  std::string text = "Usage: " + std::string(program_name) + " [switch...] [INSTANCE=<name>]\n\n";
  text += "Without switches the plugin runs as an application, or as the service when the\n"
          "account of the installed service is the current user.\n\n"
          "Switches (after -, / or \\, in any case):\n";
  for (const SwitchInfo& s : kSwitches) {
    std::string name = s.name;
    if (name.size() < 17) name.resize(17, ' ');
    text += "  " + name + s.help + "\n";
  }
  text += "  INSTANCE=<name>  run as a separate instance (its own single-instance lock)\n"
          "  --help, -h       print this text and end\n"
          "  --version        print the plugin's version and end\n";
  return text;
}

}  // namespace zuntar
