#include "host/headless_control.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "core/log.h"
#include "core/process_values.h"
#include "core/settings.h"
#include "core/utf.h"
#include "host/exit_watchdog.h"
#include "host/start_checks.h"
#include "http/cert_commands.h"
#include "http/http_access.h"
#include "http/info_commands.h"
#include "http/task_commands.h"
#include "http/task_log_commands.h"
#include "platform/capi/api/crypt_api.h"
#include "platform/code_page.h"
#include "platform/user_prompt.h"
#include "tasks/processing_thread.h"
#include "tasks/task_columns.h"
#include "tasks/task_dm.h"

namespace zuntar {
namespace {

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0, ms))); }

// The file name part of a path.
std::string FileNameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Runs `step`, logging what escapes it: Exit takes everything down whatever
// one part does.
template <typename Step>
void IgnoringFailures(const char* what, Step step) {
  try {
    step();
  } catch (const std::exception& e) {
    LogError(std::string(what) + ": " + e.what());
  }
}

bool IsAddressInUse(const std::exception& e) {
  const auto* failure = dynamic_cast<const std::system_error*>(&e);
  return failure != nullptr && failure->code() == std::errc::address_in_use;
}

// Where the code page rules the task database out, the log says so and
// names the locale that did (in English: the code page has no Cyrillic).
std::string DatabaseOffText() {
  return "The task database is not used: the locale \"" + ProcessLocale() +
         "\" has code page 1252 (Russian-language and UTF-8 locales have 1251); queued tasks are refused";
}

}  // namespace

std::string PortTakenText(bool cp1251, int port) {
  const std::string number = std::to_string(port);
  if (cp1251)
    return "Порт " + number +
           " уже занят: вероятно, плагин уже работает как служба или у другого пользователя. "
           "Этот экземпляр запросов не принимает.";
  return "Port " + number +
         " is already in use, probably by the plugin running as the service or for another user. "
         "This copy serves no requests.";
}

std::string StartLogLine(bool app_mode, const std::string& user_name) {
  return AnsiFromUtf8("Запуск плагина в режиме ") + AnsiFromUtf8(app_mode ? "приложения" : "сервиса") + "," +
         AnsiFromUtf8("http активируется") + AnsiFromUtf8(", пользователь: ") + user_name +
         AnsiFromUtf8(", версия : ") + Startup().PluginVersion + " ...";
}

CommandRegistry PluginCommands() {
  CommandRegistry commands;
  RegisterInformationCommands(commands);
  RegisterCertificateCommands(commands);
  RegisterTaskCommands(commands);
  RegisterTaskLogCommands(commands);
  return commands;
}

HeadlessControl::HeadlessControl(bool app_mode, const StartupValues& values, const Settings& settings)
    : app_mode_(app_mode), plugin_(values) {
  plugin_.settings.Set(settings);
}

HeadlessControl::~HeadlessControl() {
  // The run modes end with Stop or Exit; whatever is left goes in order.
  StopProcessingThread();
  http_.reset();
}

void HeadlessControl::Start() {
  // A Start that follows another without Stop begins from nothing again.
  StopProcessingThread();
  http_.reset();

  // A database path saved while the plugin ran takes effect now, with no
  // task left running on the old database.
  plugin_.settings.ApplyDeferredDatabasePath();
  const Settings settings = plugin_.settings.Get();
  if (!settings.LOGDIRNAME.empty()) SetLogFileName(settings.LOGDIRNAME + FileNameOf(LogFileName()));
  LogDebug(StartLogLine(app_mode_, plugin_.instance.UserName));
  SetPrivateKeyCacheIdleLimit(static_cast<uint32_t>(std::max(settings.KEYCACHEMINUTES, 0)));
  AllowPrompts();
  Sleep(100);
  const ProviderState providers = CheckCryptoProvider(plugin_.certificate_manager);
  plugin_.providers.Set(providers);
  CreateStartCertificateManager(plugin_.certificate_manager, providers);
  const std::string& exe_dir = plugin_.instance.ExeDir;
  if (::chdir(exe_dir.c_str()) != 0)
    LogError("Cannot make " + exe_dir + " the working folder: " + std::strerror(errno));
  if (Startup().IsCP1251)
    PrepareDatabase(settings);
  else
    LogEvent(DatabaseOffText());
  Sleep(100);
  if (Startup().IsCP1251) StartProcessingThread();
  Sleep(settings.TIMEOUTBEFORESTARTHTTP);

  LogEvent(AnsiFromUtf8("Запускается обработка HTTP запросов от абонентов ..."));
  start_problem_.clear();
  try {
    http_ = std::make_unique<THttpAccess>(plugin_, PluginCommands());
  } catch (const std::exception& e) {
    LogError(AnsiFromUtf8("Ошибка запуска HTTP: ") + e.what());
    if (IsAddressInUse(e)) {
      // The service and each desktop user's application are instances of
      // their own: whoever starts second finds the port taken.
      start_problem_ = PortTakenText(Startup().IsCP1251, settings.HTTPPORT);
      LogError(AnsiFromUtf8(start_problem_));
    }
    throw;
  }
  Sleep(100);
  LogEvent(AnsiFromUtf8("Плагин запущен !"));
}

void HeadlessControl::PrepareDatabase(const Settings& settings) {
  std::unique_ptr<TDM> dm;
  try {
    dm = CreateTaskDM(settings);
  } catch (const std::exception&) {
    Sleep(1000);
    try {
      dm = CreateTaskDM(settings);
    } catch (const std::exception& e) {
      const std::string text = AnsiFromUtf8("Ошибка подключения к базе: ") + e.what();
      SetCSPStatus(text);
      LogError(text);
      return;
    }
  }
  // Without its columns the task table cannot keep each site's tasks apart:
  // the task commands then fail (and say why) rather than mix them.
  IgnoringFailures("Cannot add the new columns of CRYPTO_TASKS", [&] { AddMissingTaskColumns(dm->IB); });
  IgnoringFailures("CleanupTasks", [&] { dm->CleanupTasks(); });
  IgnoringFailures("CloseInterruptedTasks", [&] {
    for (const std::string& id : dm->CloseInterruptedTasks())
      LogEvent(AnsiFromUtf8("Прерванное криптозадание закрыто: ") + id);
  });
  IgnoringFailures("during DM destroy", [&] { dm->Close(); });
}

void HeadlessControl::StartProcessingThread() {
  try {
    processing_ = std::make_unique<TProcessingMgrThread>(plugin_, /*no_http=*/false, /*allow_key_prompt=*/app_mode_);
  } catch (const std::exception& e) {
    LogError(AnsiFromUtf8("Ошибка запуска обрабатывающего потока: ") + e.what());
  }
}

void HeadlessControl::StopProcessingThread() {
  if (!processing_) return;
  processing_->Terminate();
  processing_->WaitFor();  // it ends after the task it runs now
  processing_.reset();
}

void HeadlessControl::Stop() {
  // Nobody may be left waiting for the person's answer: not the processing
  // thread Stop waits for, nor a worker that Stop ends.
  CancelAllPrompts();
  StopProcessingThread();
  http_.reset();
  DropPrivateKeyCache();
  LogEvent(AnsiFromUtf8("Плагин остановлен"));
}

void HeadlessControl::Pause() {
  if (processing_) processing_->Suspend();
  if (http_) http_->Pause();
  LogEvent(AnsiFromUtf8("Плагин приостановлен"));
}

void HeadlessControl::Continue() {
  if (processing_) processing_->Resume();
  if (http_) http_->Continue();
  LogEvent(AnsiFromUtf8("Плагин продолжил работу"));
}

void HeadlessControl::Exit() {
  ArmExitWatchdog(kOrderlyEndLimit);
  CancelAllPrompts();
  IgnoringFailures("Exit", [&] { http_.reset(); });
  IgnoringFailures("Exit", [&] { StopProcessingThread(); });
  LogEvent(AnsiFromUtf8("Работа Плагина завершена"));
}

}  // namespace zuntar
