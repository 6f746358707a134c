#include "core/process_values.h"

#include <mutex>

#include "platform/code_page.h"

namespace zuntar {
namespace {

StartupValues g_startup;
std::mutex g_log_mutex;
std::string g_log_file_name;

}  // namespace

StartupValues BasicStartupValues(const std::string& exe_dir) {
  StartupValues v;
  v.IsCP1251 = AnsiCodePage() == kCodePage1251;
  v.ExeDir = exe_dir;
  v.ConfigFileName = exe_dir + kProgramName + ".ini";
  v.MutexName = kProgramName;
  return v;
}

void SetStartupValues(const StartupValues& values) {
  g_startup = values;
  SetLogFileName(values.ExeDir + kProgramName + ".log");
}

const StartupValues& Startup() { return g_startup; }

std::string LogFileName() {
  std::lock_guard lock(g_log_mutex);
  return g_log_file_name;
}

void SetLogFileName(const std::string& file_name) {
  std::lock_guard lock(g_log_mutex);
  g_log_file_name = file_name;
}

}  // namespace zuntar
