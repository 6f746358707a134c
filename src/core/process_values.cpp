#include "core/process_values.h"

#include <atomic>
#include <memory>
#include <vector>

#include "platform/code_page.h"
#include "platform/thread_annotations.h"

namespace zuntar {
namespace {

const ProcessValues kNoProcessValues;

Mutex g_mutex;
// Every set installed, never freed before the process ends.
std::vector<std::unique_ptr<const ProcessValues>> g_installed GUARDED_BY(g_mutex);
std::atomic<const ProcessValues*> g_startup{&kNoProcessValues};
std::string g_log_file_name GUARDED_BY(g_mutex);
std::string g_csp_status GUARDED_BY(g_mutex);

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
  {
    MutexLock lock(g_mutex);
    g_installed.push_back(std::make_unique<const ProcessValues>(ProcessValues{values.IsCP1251, values.PluginVersion}));
    g_startup.store(g_installed.back().get(), std::memory_order_release);
  }
  SetLogFileName(values.LogDir + kProgramName + ".log");
}

const ProcessValues& Startup() { return *g_startup.load(std::memory_order_acquire); }

std::string LogFileName() {
  MutexLock lock(g_mutex);
  return g_log_file_name;
}

void SetLogFileName(const std::string& file_name) {
  MutexLock lock(g_mutex);
  g_log_file_name = file_name;
}

std::string CSPStatus() {
  MutexLock lock(g_mutex);
  return g_csp_status;
}

void SetCSPStatus(const std::string& status) {
  MutexLock lock(g_mutex);
  g_csp_status = status;
}

}  // namespace zuntar
