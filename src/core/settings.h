// The configuration file: flat KEY=VALUE lines next to the executable.
//
// Keys match without regard to case and without trimming; the first line
// of a key counts; an empty value counts as missing. Malformed integers
// take a fallback that is not always the default (HTTPPORT=abc means 80),
// which is how existing files have always been read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// The settings in force. A copy, so readers never see a half-written set.
Settings CurrentSettings();
void SetCurrentSettings(const Settings& s);
// LOG_LEVEL of the settings in force, cheap enough for every log call.
int LogLevel();

// Reads ConfigFileName into the settings in force. A missing, unreadable,
// binary or oversized file leaves the defaults; the returned text says why
// the file was ignored (empty when it was read or is simply missing).
std::string LoadSettings();

// Writes the eight user-editable values into ConfigFileName, keeping every
// other line. A configuration that is a symbolic link stays one: the file
// it names is replaced in one step and keeps its owner and mode (a new
// file is private to the user). Throws when the file cannot be written.
void SaveSettings();
// The same with the values of `s` instead of the settings in force.
void SaveSettings(const Settings& s);

// `s` with its eight saved values as reading the saved file gives them back
// (a blank DBPATH is the default path, an empty user or password the
// default one, a log folder ends in '/'); the other values stay as they are.
Settings AsSaved(const Settings& s, const std::string& data_dir);

// A database path saved while the plugin runs takes effect at the next
// Start: switching databases under running tasks would split them over two.
// DeferDatabasePath keeps it (the path in force clears it again), the
// settings window shows it, Start puts it in force.
void DeferDatabasePath(const std::string& path);
// The deferred path, else the one in force.
std::string DatabasePathForNextStart();
void ApplyDeferredDatabasePath();

}  // namespace zuntar
