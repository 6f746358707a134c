#include "host/startup.h"

#include "core/text.h"
#include "core/utf.h"
#include "host/instance_files.h"
#include "platform/file_version.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "platform/user_account.h"

namespace zuntar {

bool IsServiceAccount(std::string_view user_name, const std::optional<std::string>& account) {
  if (!account) return false;
  const std::string configured = SameText(*account, kLocalSystemAccount) ? kLocalSystemUserName : *account;
  // The system account's name as a Russian system reports it.
  const bool localised_system = user_name == "Система" || user_name == "СИСТЕМА";
  return SameText(user_name, configured) || localised_system || SameText(".\\" + std::string(user_name), configured);
}

StartupValues ComputeStartupValues(const CommandLine& command_line) {
  // The process-wide number and date formats need no setting here: the
  // program never switches the C locale, so '.' stays the decimal
  // separator, and dates and times are formatted explicitly.
  //
  // ExeDir stays the path the file system knows (UTF-8): it is only used
  // to open files, and there are no short 8.3 names to fall back to.
  StartupValues v = BasicStartupValues(ExecutableDir());
  v.PluginVersion = Trim(FileVersionText(ExecutablePath()));
  v.InstanceName = command_line.InstanceName();
  v.MutexName = kProgramName;
  if (!v.InstanceName.empty()) v.MutexName += "_" + v.InstanceName;

  const std::string user = ProcessUserName();
  v.UserName = AnsiFromUtf8(user);
  v.IsServiceRun = IsServiceAccount(user, QueryServiceAccount(kServiceName));
  ChooseInstanceFiles(v);
  return v;
}

}  // namespace zuntar
