// The values start-up computes, and those of them the design names
// process-wide.
//
// StartupValues is a plain value: the instance's folders and files, name,
// lock, run mode and user go to whoever needs them (the running plugin
// keeps them in its PluginContext). Only the plugin's version and whether
// the code page is 1251 are installed process-wide, fixed before any other
// thread exists and only read afterwards: installing another set (tests do)
// publishes a new one and keeps the old one alive, so a reference a thread
// holds stays valid and consistent. The log file name and CSPStatus change
// while threads run (Start moves the log into the configured folder; Start
// sets CSPStatus anew) and are read under a lock.
#pragma once

#include <string>

namespace zuntar {

struct StartupValues {
  bool IsCP1251 = false;       // the system ANSI code page is 1251
  std::string ExeDir;          // folder of the executable, trailing '/'
  // The instance's own files: beside the executable (ExeDir), or for an
  // installed program the service's or the desktop user's folders.
  std::string ConfigFileName;         // <config folder> + "ZuntarMervoPlugin.ini"
  std::string LogDir;                 // folder of the log, trailing '/'
  std::string DataDir;                // folder of the default database, trailing '/'
  std::string InitialConfigFileName;  // copied to ConfigFileName at the first start; empty: none
  std::string PluginVersion;   // "%d.%d.%d.%d", empty without a version record
  std::string InstanceName;    // INSTANCE=<name>, trimmed
  std::string MutexName;       // "ZuntarMervoPlugin" or "ZuntarMervoPlugin_<InstanceName>"
  bool IsServiceRun = false;   // started as the installed service
  std::string UserName;        // account name of the process
};

// The process-wide part of the start-up values.
struct ProcessValues {
  bool IsCP1251 = false;      // the system ANSI code page is 1251
  std::string PluginVersion;  // "%d.%d.%d.%d", empty without a version record
};

inline constexpr char kProgramName[] = "ZuntarMervoPlugin";

// Values for an executable in `exe_dir` (trailing '/'): IsCP1251 from the
// locale, every file beside the executable; the rest stays empty.
StartupValues BasicStartupValues(const std::string& exe_dir);

// Installs the process-wide part of the values and sets the log file to
// LogDir + "ZuntarMervoPlugin.log". Called once by start-up (and by tests).
void SetStartupValues(const StartupValues& values);
// The process-wide values installed last (defaults before any); valid until
// the process ends.
const ProcessValues& Startup();

std::string LogFileName();
void SetLogFileName(const std::string& file_name);

// Outcome of the start-up checks: empty when the plugin is fully usable,
// else a code ("CSP_NOT_EXIST", ...) or a failure message. Set by Start,
// read by every request.
std::string CSPStatus();
void SetCSPStatus(const std::string& status);

}  // namespace zuntar
