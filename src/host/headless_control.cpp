#include "host/headless_control.h"

#include <string>

#include "core/log.h"
#include "core/process_values.h"
#include "core/utf.h"

namespace zuntar {

std::string StartLogLine(bool app_mode) {
  const StartupValues& v = Startup();
  return AnsiFromUtf8("Запуск плагина в режиме ") + AnsiFromUtf8(app_mode ? "приложения" : "сервиса") + "," +
         AnsiFromUtf8("http активируется") + AnsiFromUtf8(", пользователь: ") + v.UserName +
         AnsiFromUtf8(", версия : ") + v.PluginVersion + " ...";
}

void HeadlessControl::Start() { LogDebug(StartLogLine(app_mode_)); }

void HeadlessControl::Stop() { LogEvent(AnsiFromUtf8("Плагин остановлен")); }

void HeadlessControl::Pause() { LogEvent(AnsiFromUtf8("Плагин приостановлен")); }

void HeadlessControl::Continue() { LogEvent(AnsiFromUtf8("Плагин продолжил работу")); }

void HeadlessControl::Exit() { LogEvent(AnsiFromUtf8("Работа Плагина завершена")); }

}  // namespace zuntar
