#include "platform/service_manager.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/file_io.h"
#include "platform/platform_root.h"
#include "platform/process.h"
#include "platform/user_account.h"

namespace zuntar {
namespace {

namespace fs = std::filesystem;

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// A value safe from systemd's specifier expansion ('%'). Variables ('$')
// are expanded only in the arguments of a command, and the unit gives none.
std::string EscapeUnitValue(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n' || c == '\r') continue;
    if (c == '%') out += c;
    out += c;
  }
  return out;
}

// One word of an ExecStart= line, quoted so blanks and quotes survive.
std::string QuoteUnitWord(std::string_view word) {
  std::string out = "\"";
  for (const char c : EscapeUnitValue(word)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The last User= of the [Service] section of a unit text, if any.
std::optional<std::string> UserOf(const std::string& text, std::optional<std::string> user) {
  bool in_service = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = TrimBlanks(std::string_view(text).substr(start, end - start));
    start = end + 1;
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[') {
      in_service = line == "[Service]";
      continue;
    }
    const size_t eq = line.find('=');
    if (!in_service || eq == std::string_view::npos || TrimBlanks(line.substr(0, eq)) != "User") continue;
    const std::string_view value = TrimBlanks(line.substr(eq + 1));
    user = value.empty() ? std::nullopt : std::optional<std::string>(value);  // "User=" resets
  }
  return user;
}

std::string SystemError(const std::string& what, int err) { return what + ": " + std::strerror(err); }

// The sandbox of the service. The packaged unit carries the same text.
constexpr char kSandbox[] = R"(# The service runs as root: it reads the key media and home folders of
# every person at the machine (CAP_DAC_READ_SEARCH), opens the database
# engine's lock files, which the engine hands to its own account
# (CAP_DAC_OVERRIDE), and writes only its own
# folders, the machine's key containers and stores (/var/lib/zuntar) and
# root's certificate stores, where certificates found on media are
# installed (once they exist: the certificate tool makes them). A log or
# database moved elsewhere (LOGDIRNAME, DBPATH) needs a drop-in with
# ReadWritePaths=.
UMask=0077
StateDirectory=zuntar-mervo-plugin
StateDirectoryMode=0700
LogsDirectory=zuntar-mervo-plugin
LogsDirectoryMode=0700
RuntimeDirectory=zuntar-mervo-plugin
RuntimeDirectoryMode=0700
ConfigurationDirectory=zuntar-mervo-plugin
ReadWritePaths=-/var/lib/zuntar -/root/.local/share/zuntar
ProtectSystem=strict
ProtectHome=read-only
PrivateTmp=yes
PrivateDevices=yes
PrivateMounts=yes
ProtectKernelTunables=yes
ProtectKernelModules=yes
ProtectKernelLogs=yes
ProtectControlGroups=yes
ProtectClock=yes
ProtectHostname=yes
ProtectProc=invisible
ProcSubset=pid
NoNewPrivileges=yes
CapabilityBoundingSet=CAP_DAC_READ_SEARCH CAP_DAC_OVERRIDE
# Netlink: the machine's own addresses (getifaddrs).
RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK
RestrictNamespaces=yes
RestrictRealtime=yes
RestrictSUIDSGID=yes
LockPersonality=yes
MemoryDenyWriteExecute=yes
SystemCallArchitectures=native
# @resources stays allowed: the plugin lowers its priority (setpriority).
SystemCallFilter=@system-service
SystemCallFilter=~@privileged
SystemCallErrorNumber=EPERM
)";

// A program outside /usr keeps its configuration, log and database beside
// itself (a build tree, a copy in a folder of its own), so that folder
// stays writable.
std::string ProgramFolderAccess(const std::string& executable) {
  if (executable.rfind("/usr/", 0) == 0) return {};
  const std::string folder = fs::path(executable).parent_path().string();
  return folder.empty() ? std::string() : "ReadWritePaths=" + QuoteUnitWord(folder) + "\n";
}

}  // namespace

std::string ServiceUnitFile(const std::string& name) { return UnitDir() + "/" + name + ".service"; }

std::string FormatServiceUnit(const ServiceDefinition& definition) {
  return "# Written by " + definition.name + " INSTALL and removed by its UNINSTALL.\n"
         "[Unit]\n"
         "Description=" + EscapeUnitValue(definition.display_name) + "\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "NotifyAccess=main\n"
         "ExecStart=" + QuoteUnitWord(definition.executable) + "\n" + kSandbox +
         ProgramFolderAccess(definition.executable);
}

bool ServiceExists(const std::string& name) { return FileExists(ServiceUnitFile(name)); }

std::optional<std::string> QueryServiceAccount(const std::string& name) {
  const std::string unit = ServiceUnitFile(name);
  std::optional<std::string> user;
  try {
    user = UserOf(ReadFileToString(unit), std::nullopt);
  } catch (const Exception&) {
    return std::nullopt;
  }
  // Drop-ins override the unit in the order of their file names.
  std::error_code ec;
  std::vector<fs::path> drop_ins;
  for (const auto& entry : fs::directory_iterator(unit + ".d", ec))
    if (entry.path().extension() == ".conf") drop_ins.push_back(entry.path());
  std::sort(drop_ins.begin(), drop_ins.end());
  for (const fs::path& file : drop_ins) {
    try {
      user = UserOf(ReadFileToString(file.string()), user);
    } catch (const Exception&) {
      // An unreadable drop-in is skipped, as systemd skips it.
    }
  }
  return user ? *user : std::string(kLocalSystemAccount);
}

void InstallService(const ServiceDefinition& definition) {
  const std::string unit = ServiceUnitFile(definition.name);
  if (ServiceExists(definition.name)) throw EServiceError("The service \"" + definition.name + "\" already exists");
  std::error_code ec;
  fs::create_directories(UnitDir(), ec);
  if (ec) throw EServiceError(SystemError("Cannot create the folder \"" + UnitDir() + "\"", ec.value()));
  const std::string temp = unit + ".tmp";
  try {
    WriteStringToFile(FormatServiceUnit(definition), temp);
  } catch (const Exception& e) {
    throw EServiceError(e.what());
  }
  if (std::rename(temp.c_str(), unit.c_str()) != 0) {
    const int err = errno;
    std::remove(temp.c_str());
    throw EServiceError(SystemError("Cannot create \"" + unit + "\"", err));
  }
}

void RemoveService(const std::string& name) {
  const std::string unit = ServiceUnitFile(name);
  if (!ServiceExists(name)) throw EServiceError("The service \"" + name + "\" does not exist");
  if (std::remove(unit.c_str()) != 0) throw EServiceError(SystemError("Cannot remove \"" + unit + "\"", errno));
}

bool ReloadServiceManager() {
  if (!PlatformRoot().empty() || !DirectoryExists("/run/systemd/system")) return true;
  return RunProcess("systemctl daemon-reload", "") == 0;
}

bool NotifyServiceManager(const std::string& state) { return sd_notify(0, state.c_str()) > 0; }

}  // namespace zuntar
