#include "host/instance_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/settings.h"
#include "core/text.h"
#include "platform/exception.h"
#include "platform/file_io.h"
#include "platform/platform_root.h"
#include "platform/private_files.h"

namespace zuntar {
namespace {

constexpr char kInstanceFolder[] = "zuntar-mervo-plugin/";

std::string FolderOf(const std::string& file_name) { return file_name.substr(0, file_name.rfind('/') + 1); }

std::string WithoutSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Whether a line sets `key` to a place inside `folder` (trailing '/').
bool PointsInto(const std::string& line, std::string_view key, const std::string& folder) {
  const size_t eq = line.find('=');
  if (eq == std::string::npos || !SameText(std::string_view(line).substr(0, eq), key)) return false;
  const std::string value = line.substr(eq + 1);
  return value.compare(0, folder.size(), folder) == 0 || value == WithoutSlash(folder);
}

// Writes the first configuration of the instance. Another instance of the
// same user starting at the same moment may have made it first: then that
// one stands.
void CopyInitialConfig(const StartupValues& v, const InstalledLayout& layout, std::vector<std::string>& problems) {
  struct stat st {};
  if (v.InitialConfigFileName.empty() || ::lstat(v.ConfigFileName.c_str(), &st) == 0) return;
  std::string text;
  try {
    if (!FileExists(v.InitialConfigFileName)) return;  // the built-in defaults hold
    text = WithoutServiceFolders(ReadFileToString(v.InitialConfigFileName), layout);
  } catch (const Exception& e) {
    problems.push_back("Cannot copy the configuration " + v.InitialConfigFileName + ": " + e.what());
    return;
  }
  const UniqueFd fd = CreateNewFile(v.ConfigFileName, 0600);
  if (!fd.valid()) {
    if (errno != EEXIST) problems.push_back("Cannot create " + v.ConfigFileName + ": " + std::strerror(errno));
    return;
  }
  if (!WriteAll(fd.get(), text)) {
    problems.push_back("Cannot write " + v.ConfigFileName + ": " + std::strerror(errno));
    ::unlink(v.ConfigFileName.c_str());
  }
}

}  // namespace

const InstalledLayout& PackageLayout() {
  static const InstalledLayout layout{ZUNTAR_PACKAGE_DIR "/", ZUNTAR_SERVICE_CONFIG_DIR "/",
                                      ZUNTAR_SERVICE_LOG_DIR "/", ZUNTAR_SERVICE_DATA_DIR "/"};
  return layout;
}

bool IsInstalledProgram(const std::string& exe_dir, const InstalledLayout& layout) {
  if (WithoutSlash(exe_dir) == WithoutSlash(layout.package_dir)) return true;
  struct stat st {};
  return ::stat(exe_dir.c_str(), &st) == 0 && st.st_uid != ::geteuid();
}

void ChooseInstanceFiles(StartupValues& v, const InstalledLayout& layout) {
  const std::string config_name = std::string(kProgramName) + ".ini";
  v.ConfigFileName = v.ExeDir + config_name;
  v.LogDir = v.DataDir = v.ExeDir;
  v.InitialConfigFileName.clear();
  if (!IsInstalledProgram(v.ExeDir, layout)) return;
  if (v.IsServiceRun) {
    v.ConfigFileName = layout.config_dir + config_name;
    v.LogDir = layout.log_dir;
    v.DataDir = layout.data_dir;
    return;
  }
  v.ConfigFileName = XdgConfigHome() + "/" + kInstanceFolder + config_name;
  v.LogDir = XdgStateHome() + "/" + kInstanceFolder;
  v.DataDir = XdgDataHome() + "/" + kInstanceFolder;
  v.InitialConfigFileName = layout.config_dir + config_name;
}

std::vector<std::string> PrepareInstanceFiles(const StartupValues& v, const InstalledLayout& layout) {
  std::vector<std::string> problems;
  for (const std::string& folder : {FolderOf(v.ConfigFileName), v.LogDir, v.DataDir}) {
    if (!MakeFolders(WithoutSlash(folder)))
      problems.push_back("Cannot make the folder " + folder + ": " + std::strerror(errno));
  }
  CopyInitialConfig(v, layout, problems);
  return problems;
}

std::string WithoutServiceFolders(const std::string& text, const InstalledLayout& layout) {
  std::string out;
  for (const std::string& line : SplitLines(text)) {
    const bool service_place =
        PointsInto(line, "DBPATH", layout.data_dir) || PointsInto(line, "LOGDIRNAME", layout.log_dir);
    if (!service_place) out += line + "\r\n";
  }
  return out;
}

}  // namespace zuntar
