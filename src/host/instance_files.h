// Where one instance of the plugin keeps its configuration, log and
// database.
//
// A build tree, or a copy in a folder of the user's own, keeps them beside
// the executable. The folder of an installed program is nobody's own who
// runs it: there the service uses the system's folders, and a desktop
// user's application is an instance of its own in the user's XDG folders,
// with a configuration copied from the service's at its first start. No
// folder is shared between users.
#pragma once

#include <string>
#include <vector>

#include "core/process_values.h"

namespace zuntar {

// The installed program's folders, each with a trailing '/'.
struct InstalledLayout {
  std::string package_dir;  // the package's program folder
  std::string config_dir;   // the service's configuration (/etc/zuntar-mervo-plugin/)
  std::string log_dir;      // the service's log (/var/log/zuntar-mervo-plugin/)
  std::string data_dir;     // the service's database (/var/lib/zuntar-mervo-plugin/)
};

// The layout the package installs.
const InstalledLayout& PackageLayout();

// Whether the executable in `exe_dir` is an installed program: it lies in
// the package's folder, or in a folder the effective user does not own.
bool IsInstalledProgram(const std::string& exe_dir, const InstalledLayout& layout);

// Sets ConfigFileName, LogDir, DataDir and InitialConfigFileName of `v` for
// its ExeDir and run mode (IsServiceRun). Reads only.
void ChooseInstanceFiles(StartupValues& v, const InstalledLayout& layout = PackageLayout());

// Makes the instance's folders (mode 0700 where new) and, at its first
// start, its configuration (mode 0600) from InitialConfigFileName, without
// the lines that point the database or the log into the service's folders.
// What went wrong, one text each, for the log.
std::vector<std::string> PrepareInstanceFiles(const StartupValues& v, const InstalledLayout& layout = PackageLayout());

// `text` (a configuration's lines) without the DBPATH and LOGDIRNAME lines
// that name a place in the service's data or log folder. Lines end in CR LF.
std::string WithoutServiceFolders(const std::string& text, const InstalledLayout& layout);

}  // namespace zuntar
