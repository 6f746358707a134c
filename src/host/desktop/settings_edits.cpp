#include "host/desktop/settings_edits.h"

#include "core/process_values.h"
#include "core/text.h"
#include "core/utf.h"
#include "platform/code_page.h"

namespace zuntar {
namespace {

const char* Label(SettingsField field) {
  switch (field) {
    case SettingsField::kDbPath:
      return "Путь к базе плагина";
    case SettingsField::kDbUser:
      return "Пользователь БД";
    case SettingsField::kPassword:
      return "Пароль";
    case SettingsField::kHttpPort:
      return "http порт";
    case SettingsField::kLogDir:
      return "Каталог для файла с протоколом";
  }
  return "";
}

bool HasControlCharacter(std::u16string_view text) {
  for (const char16_t c : text)
    if (c < u' ' || c == u'\x7f') return true;
  return false;
}

// The edit's text in the system code page, or the reason it cannot be.
std::optional<SettingsEditError> ToAnsi(SettingsField field, std::u16string_view text, std::string& out) {
  const bool cp1251 = Startup().IsCP1251;
  const std::string label = Label(field);
  if (HasControlCharacter(text))
    return SettingsEditError{field, "EConvertError",
                             cp1251
                                 ? "Поле \"" + label + "\" содержит управляющий символ (перевод строки или табуляцию)"
                                 : "The field \"" + label + "\" holds a control character (a line break or a tab)"};
  out = AnsiFromWide(text);
  if (WideFromAnsi(out) != text)
    return SettingsEditError{field, "EConvertError",
                             (cp1251 ? "Поле \"" + label + "\" содержит символы, которых нет в кодовой странице "
                                     : "The field \"" + label + "\" holds characters that are not in code page ") +
                                 std::to_string(AnsiCodePage())};
  return std::nullopt;
}

std::optional<SettingsEditError> ToPort(std::u16string_view text, int& out) {
  const std::string utf8 = Utf8FromWide(text);
  const std::optional<int> port = ParseWholeNumber(utf8);
  if (!port)
    return SettingsEditError{SettingsField::kHttpPort, "EConvertError", "'" + utf8 + "' is not a valid integer value"};
  if (*port < 1 || *port > 65535)
    return SettingsEditError{SettingsField::kHttpPort, "EConvertError",
                             "'" + utf8 + "' is not a valid port number (1-65535)"};
  out = *port;
  return std::nullopt;
}

}  // namespace

TakenSettings TakeSettingsEdits(const SettingsEdits& edits, const Settings& base) {
  TakenSettings taken{base, std::nullopt};
  Settings& s = taken.settings;
  // In the window's order, so the first field at fault is the one reported.
  if ((taken.error = ToAnsi(SettingsField::kDbPath, edits.db_path, s.DBPATH))) return taken;
  if ((taken.error = ToAnsi(SettingsField::kDbUser, edits.db_user, s.DBUSER))) return taken;
  if ((taken.error = ToAnsi(SettingsField::kPassword, edits.password, s.DBPASSWORD))) return taken;
  if ((taken.error = ToPort(edits.http_port, s.HTTPPORT))) return taken;
  if ((taken.error = ToAnsi(SettingsField::kLogDir, edits.log_dir, s.LOGDIRNAME))) return taken;
  return taken;
}

SettingsEdits EditsForSettingsInForce(const SettingsInForce& settings) {
  const Settings s = settings.Get();
  SettingsEdits edits;
  edits.db_path = WideFromAnsi(settings.DatabasePathForNextStart());
  edits.db_user = WideFromAnsi(s.DBUSER);
  edits.password = WideFromAnsi(s.DBPASSWORD);
  edits.http_port = WideFromAnsi(std::to_string(s.HTTPPORT));
  edits.log_dir = WideFromAnsi(s.LOGDIRNAME);
  return edits;
}

void SaveAndApplySettings(const Settings& edited, SettingsInForce& settings, const StartupValues& values) {
  SaveSettings(values.ConfigFileName, edited);
  Settings in_force = AsSaved(edited, values.DataDir);
  const std::string next_db_path = in_force.DBPATH;
  in_force.DBPATH = settings.Get().DBPATH;
  settings.Set(in_force);
  settings.DeferDatabasePath(next_db_path);
}

}  // namespace zuntar
