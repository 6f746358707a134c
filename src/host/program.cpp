#include "host/program.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "core/log.h"
#include "core/process_values.h"
#include "host/command_line.h"
#include "host/control_signals.h"
#include "host/database_setup.h"
#include "host/headless_control.h"
#include "host/instance_files.h"
#include "host/run_modes.h"
#include "host/service_setup.h"
#include "host/startup.h"
#include "host/startup_settings.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "tasks/firebird_root.h"

namespace zuntar {
namespace {

// Everything after the values are known. Exceptions leave to RunProgram.
int RunWithValues(const CommandLine& command_line, const StartupValues& values,
                  ApplicationModeRunner application_mode) {
  for (const std::string& problem : PrepareInstanceFiles(values)) LogError(problem);
  // The database client reads its configuration from the environment,
  // which may only change while this is the process's one thread.
  PrepareFirebirdClient();
  // Creating the database needs no lock: it works beside a running plugin.
  if (command_line.HasSwitch("CREATEDB")) return RunCreateDatabase(values);
  const bool install = command_line.HasSwitch("INSTALL");
  const bool uninstall = command_line.HasSwitch("UNINSTALL");

  // Registering or removing the service must work while the plugin runs,
  // so only the other paths take the lock.
  std::optional<NamedMutex> mutex;
  if (!install && !uninstall) {
    mutex.emplace(values.MutexName);
    if (mutex->result() == NamedMutex::Result::kAlreadyExists) return 0;  // silently: another copy runs
    if (mutex->result() == NamedMutex::Result::kFailed)
      LogError("Cannot take the single-instance lock \"" + mutex->file_name() + "\": " + mutex->problem() +
               "; the plugin runs without it");
  }

  if (install || uninstall) return RunServiceSetup(install, command_line.HasSwitch("SILENT"));

  const Settings settings = LoadStartupSettings(values);
  // A desktop user's instance of the installed program has nobody to
  // create its database for it.
  if (!values.InitialConfigFileName.empty()) CreateOwnDatabaseWhenMissing(values, settings);
  HeadlessControl control(/*app_mode=*/!values.IsServiceRun, values, settings);
  return values.IsServiceRun ? RunServiceMode(control) : application_mode(control);
}

}  // namespace

int RunProgram(int argc, const char* const* argv, ApplicationModeRunner application_mode) {
  // Before anything else, so every thread the program ever starts has the
  // control signals blocked and only the main thread takes them.
  BlockControlSignals();
  // A file that may grow no further (a size limit set for the service)
  // fails the write as a full disk does, instead of ending the process: the
  // log drops the line, the database reports its error, the plugin serves on.
  std::signal(SIGXFSZ, SIG_IGN);
  // Replies and listings of many megabytes come and go on worker threads:
  // their memory must not stay with the process.
  ReturnLargeBlocksWhenFreed();
  const CommandLine command_line = CommandLine::FromMain(argc, argv);
  if (command_line.WantsHelp()) {
    std::fputs(UsageText(kProgramName).c_str(), stdout);
    return 0;
  }
  try {
    const StartupValues values = ComputeStartupValues(command_line);
    SetStartupValues(values);
    if (command_line.WantsVersion()) {
      std::printf("%s\n", values.PluginVersion.c_str());
      return 0;
    }
    return RunWithValues(command_line, values, application_mode);
  } catch (const std::exception& e) {
    // Also on the terminal: before the values are set there is no log yet.
    LogError(e.what());
    std::fprintf(stderr, "%s: %s\n", kProgramName, e.what());
  }
  return 1;
}

}  // namespace zuntar
