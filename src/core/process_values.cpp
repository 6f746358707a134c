#include "core/process_values.h"

#include <mutex>

#include "platform/code_page.h"

namespace zuntar {
namespace {

StartupValues g_startup;
std::mutex g_mutex;  // guards the two values that change while threads run
std::string g_log_file_name;
std::string g_csp_status;

}  // namespace

StartupValues BasicStartupValues(const std::string& exe_dir) {
  StartupValues v;
  v.IsCP1251 = AnsiCodePage() == kCodePage1251;
  v.ExeDir = exe_dir;
  v.ConfigFileName = exe_dir + kProgramName + ".ini";
  v.LogDir = exe_dir;
  v.DataDir = exe_dir;
  v.MutexName = kProgramName;
  return v;
}

void SetStartupValues(const StartupValues& values) {
  g_startup = values;
  SetLogFileName(values.LogDir + kProgramName + ".log");
}

const StartupValues& Startup() { return g_startup; }

std::string LogFileName() {
  std::lock_guard lock(g_mutex);
  return g_log_file_name;
}

void SetLogFileName(const std::string& file_name) {
  std::lock_guard lock(g_mutex);
  g_log_file_name = file_name;
}


std::string CSPStatus() {
  std::lock_guard lock(g_mutex);
  return g_csp_status;
}

void SetCSPStatus(const std::string& status) {
  std::lock_guard lock(g_mutex);
  g_csp_status = status;
}

}  // namespace zuntar
