// The configuration file: flat KEY=VALUE lines next to the executable.
//
// Keys match without regard to case and without trimming; the first line
// of a key counts; an empty value counts as missing. Malformed integers
// take a fallback that is not always the default (HTTPPORT=abc means 80),
// which is how existing files have always been read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/thread_annotations.h"

namespace zuntar {

struct Settings {
  std::string DBPATH;  // default: DataDir + "ZuntarMervoPlugin.gdb"
  std::string DBUSER = "SYSDBA";
  std::string DBPASSWORD = "m";
  std::string LOGDIRNAME;  // empty, or a folder with a trailing '/'
  int HTTPPORT = 18080;
  int POOLSIZE = 1;
  int MAXCONNECTIONS = 40;
  int LOG_LEVEL = 3;
  int TIMEOUTBEFORESTARTHTTP = 100;
  uint8_t DISABLE_NAGLE_ALG = 0;
  uint8_t USE_SMALL_BUFFER = 0;
  int LISTENQUEUE = 10;
  // The one address to listen on; empty: every local address.
  std::string LISTENADDRESS;
  int READTIMEOUT = 0;
  int STARTUPPRIORITYCLASS = 64;
  // Origins of the pages admitted to the user's keys without a question,
  // ';'-separated; "*" admits every page (the open behaviour, chosen
  // explicitly).
  std::string ALLOWEDORIGINS;
  // Not 0: a page of an unlisted origin is admitted once the person allows
  // it at the desktop; 0: it is refused.
  uint8_t CONFIRMORIGINS = 1;
  // Lines naming ALLOWEDORIGINS or CONFIRMORIGINS that did not set them as
  // written (a blank before '=', an empty value, ...), quoted and followed
  // by why: Start logs them, since they decide who may use the keys.
  std::vector<std::string> UnreadOriginLines;
  // Minutes after which an unlocked key that was not used is forgotten (its
  // PIN is asked again); 0 keeps it until Stop.
  int KEYCACHEMINUTES = 0;
};

// Lines that name `key` but do not set it as written, each quoted and
// followed by the reason in parentheses:
// the key not at the start of its line or followed by a blank, a missing
// '=', an empty value, a repeated key (the first line counts), and, with
// `whole_number`, a value that is not a whole number.
std::vector<std::string> UnreadLinesOf(const std::vector<std::string>& lines, std::string_view key,
                                       bool whole_number = false);

// Defaults for an instance whose default database lies in `data_dir`.
Settings DefaultSettings(const std::string& data_dir);

// The settings the lines give, on top of the defaults.
Settings ParseSettings(const std::vector<std::string>& lines, const std::string& data_dir);

// The lines with the eight saved keys set to the values of `s`: existing
// lines changed in place, missing keys appended, empty values removed.
std::vector<std::string> MergeSettings(std::vector<std::string> lines, const Settings& s);

// Lines of a text file split at CR LF, LF or CR.
std::vector<std::string> SplitLines(const std::string& text);

// The log's level: LOG_LEVEL of the settings in force, process-wide as the
// log is, and cheap enough for every log call.
int LogLevel();
void SetLogLevel(int level);

// The settings the configuration file `config_file` gives, on top of the
// defaults for `data_dir`. A missing, unreadable, binary or oversized file
// gives the defaults; `problem` says why the file was ignored (empty when
// it was read or is simply missing).
struct LoadedSettings {
  Settings settings;
  std::string problem;
};
LoadedSettings LoadSettings(const std::string& config_file, const std::string& data_dir);

// Writes the eight user-editable values of `s` into `config_file`, keeping
// every other line. A configuration that is a symbolic link stays one: the
// file it names is replaced in one step and keeps its owner and mode (a new
// file is private to the user). Throws when the file cannot be written.
void SaveSettings(const std::string& config_file, const Settings& s);

// `s` with its eight saved values as reading the saved file gives them back
// (a blank DBPATH is the default path, an empty user or password the
// default one, a log folder ends in '/'); the other values stay as they are.
Settings AsSaved(const Settings& s, const std::string& data_dir);

// The settings in force of a running plugin, which its threads share:
// readers take a copy, so they never see a half-written set. Putting a set
// in force sets the log level too.
//
// A database path saved while the plugin runs takes effect at the next
// Start: switching databases under running tasks would split them over two.
// DeferDatabasePath keeps it (the path in force clears it again), the
// settings window shows it, Start puts it in force.
class SettingsInForce {
 public:
  Settings Get() const EXCLUDES(mu_);
  void Set(const Settings& s) EXCLUDES(mu_);

  void DeferDatabasePath(const std::string& path) EXCLUDES(mu_);
  // The deferred path, else the one in force.
  std::string DatabasePathForNextStart() const EXCLUDES(mu_);
  void ApplyDeferredDatabasePath() EXCLUDES(mu_);

 private:
  mutable Mutex mu_;
  Settings settings_ GUARDED_BY(mu_);
  std::optional<std::string> deferred_db_path_ GUARDED_BY(mu_);
};

}  // namespace zuntar
