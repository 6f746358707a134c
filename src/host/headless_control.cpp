#include "host/headless_control.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "core/log.h"
#include "core/process_values.h"
#include "core/settings.h"
#include "core/utf.h"
#include "host/start_checks.h"
#include "http/cert_commands.h"
#include "http/http_access.h"
#include "http/info_commands.h"
#include "platform/user_prompt.h"

namespace zuntar {

std::string StartLogLine(bool app_mode) {
  const StartupValues& v = Startup();
  return AnsiFromUtf8("Запуск плагина в режиме ") + AnsiFromUtf8(app_mode ? "приложения" : "сервиса") + "," +
         AnsiFromUtf8("http активируется") + AnsiFromUtf8(", пользователь: ") + v.UserName +
         AnsiFromUtf8(", версия : ") + v.PluginVersion + " ...";
}

CommandRegistry PluginCommands() {
  CommandRegistry commands;
  RegisterInformationCommands(commands);
  RegisterCertificateCommands(commands);
  return commands;
}

HeadlessControl::HeadlessControl(bool app_mode) : app_mode_(app_mode) {}

HeadlessControl::~HeadlessControl() = default;

void HeadlessControl::Start() {
  ApplyDeferredDatabasePath();
  LogDebug(StartLogLine(app_mode_));
  AllowPrompts();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  CheckCryptoProvider();
  CreateStartCertificateManager();
  std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0, CurrentSettings().TIMEOUTBEFORESTARTHTTP)));
  LogEvent(AnsiFromUtf8("Запускается обработка HTTP запросов от абонентов ..."));
  try {
    http_ = std::make_unique<THttpAccess>(PluginCommands());
  } catch (const std::exception& e) {
    LogError(AnsiFromUtf8("Ошибка запуска HTTP: ") + e.what());
    throw;
  }
  LogEvent(AnsiFromUtf8("Плагин запущен !"));
}

void HeadlessControl::Stop() {
  // A worker waiting for the person's answer must not hold up the end.
  CancelAllPrompts();
  http_.reset();
  LogEvent(AnsiFromUtf8("Плагин остановлен"));
}

void HeadlessControl::Pause() {
  if (http_) http_->Pause();
  LogEvent(AnsiFromUtf8("Плагин приостановлен"));
}

void HeadlessControl::Continue() {
  if (http_) http_->Continue();
  LogEvent(AnsiFromUtf8("Плагин продолжил работу"));
}

void HeadlessControl::Exit() {
  CancelAllPrompts();
  http_.reset();
  LogEvent(AnsiFromUtf8("Работа Плагина завершена"));
}

}  // namespace zuntar
