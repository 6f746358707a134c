// What the settings window does with its edits on Ok, apart from the window
// itself: every field is checked before any is taken, the file is written,
// and only then are the values put in force (the database path at the next
// Start).
#pragma once

#include <optional>
#include <string>

#include "core/process_values.h"
#include "core/settings.h"

namespace zuntar {

enum class SettingsField { kDbPath, kDbUser, kPassword, kHttpPort, kLogDir };

// The edits as typed (UTF-16, as the window holds them).
struct SettingsEdits {
  std::u16string db_path, db_user, password, http_port, log_dir;
};

// Why Ok cannot take the edits: the field at fault, and the failure as the
// unhandled-exception line names it (class and message, UTF-8).
struct SettingsEditError {
  SettingsField field;
  std::string class_name;
  std::string message;
};

// The five edit fields of `base` replaced by the edits, or the first field
// that cannot be taken: a port that is not a whole number from 1 to 65535,
// a text the system code page cannot hold or one with a control character
// (a line break would add a line to the configuration file).
struct TakenSettings {
  Settings settings;
  std::optional<SettingsEditError> error;
};
TakenSettings TakeSettingsEdits(const SettingsEdits& edits, const Settings& base);

// The edits of the settings window for the values in force: the database
// path the next Start will use, the port in decimal.
SettingsEdits EditsForSettingsInForce(const SettingsInForce& settings);

// Writes `edited` to the configuration file (throws when it cannot) and
// then puts it in force as the file now reads, the database path deferred
// to the next Start.
// `values`: the instance's start-up values (its configuration file and
// data folder).
void SaveAndApplySettings(const Settings& edited, SettingsInForce& settings, const StartupValues& values);

}  // namespace zuntar
