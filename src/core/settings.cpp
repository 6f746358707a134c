#include "core/settings.h"

#include <atomic>
#include <filesystem>
#include <optional>

#include "core/process_values.h"
#include "core/text.h"
#include "platform/exception.h"
#include "platform/file_io.h"
#include "platform/private_files.h"

namespace zuntar {
namespace {

// A configuration file is a few hundred bytes; anything this large is not one.
constexpr size_t kMaxConfigSize = 1 << 20;

std::atomic<int> g_log_level{Settings{}.LOG_LEVEL};

// Value of the first line whose key is `key`; nothing when absent or empty.
std::optional<std::string> Lookup(const std::vector<std::string>& lines, std::string_view key) {
  for (const std::string& line : lines) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos || !SameText(std::string_view(line).substr(0, eq), key)) continue;
    std::string value = line.substr(eq + 1);
    if (value.empty()) return std::nullopt;
    return value;
  }
  return std::nullopt;
}

void ReadInt(const std::vector<std::string>& lines, std::string_view key, int& target, int fallback) {
  if (std::optional<std::string> value = Lookup(lines, key)) target = ParseWholeNumber(*value).value_or(fallback);
}

void ReadFlag(const std::vector<std::string>& lines, std::string_view key, uint8_t& target) {
  int value = target;
  ReadInt(lines, key, value, 0);
  target = static_cast<uint8_t>(value & 0xFF);
}

void ReadText(const std::vector<std::string>& lines, std::string_view key, std::string& target) {
  if (std::optional<std::string> value = Lookup(lines, key)) target = *value;
}

// Sets, appends or (for an empty value) removes the line of `key`.
void Put(std::vector<std::string>& lines, std::string_view key, const std::string& value) {
  for (auto it = lines.begin(); it != lines.end(); ++it) {
    const size_t eq = it->find('=');
    if (eq == std::string::npos || !SameText(std::string_view(*it).substr(0, eq), key)) continue;
    if (value.empty()) {
      lines.erase(it);
    } else {
      *it = it->substr(0, eq + 1) + value;
    }
    return;
  }
  if (!value.empty()) lines.push_back(std::string(key) + "=" + value);
}

bool IsKeyCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Why a line that names `key` does not set it as written; nothing when it
// does or names another key. `seen`: a line set the key already (the first
// line with the key counts, empty or not).
std::optional<std::string> UnreadReason(const std::string& line, std::string_view key, bool whole_number,
                                        bool& seen) {
  // The key may follow blanks, tabs or a byte-order mark, and be followed
  // by anything but a character that would make it another key.
  const size_t at = line.find_first_not_of(" \t\xEF\xBB\xBF");
  if (at == std::string::npos || line.size() - at < key.size() ||
      !SameText(std::string_view(line).substr(at, key.size()), key))
    return std::nullopt;
  const size_t after = at + key.size();
  if (after < line.size() && IsKeyCharacter(line[after])) return std::nullopt;
  const size_t eq = line.find('=');
  if (eq == std::string::npos) return "no \"=\"";
  if (at != 0) return "text before the key";
  if (eq != after) {
    const bool blanks = line.find_first_not_of(" \t", after) == eq;
    return blanks ? "a blank before \"=\"" : "text between the key and \"=\"";
  }
  if (seen) return "the key is set by an earlier line";
  seen = true;
  const std::string_view value = std::string_view(line).substr(eq + 1);
  if (value.empty()) return "an empty value";
  if (value.find_first_not_of(" \t") == std::string_view::npos) return "only blanks after \"=\"";
  if (whole_number && !ParseWholeNumber(value)) return "not a whole number: taken as 0";
  return std::nullopt;
}

}  // namespace

std::vector<std::string> UnreadLinesOf(const std::vector<std::string>& lines, std::string_view key,
                                       bool whole_number) {
  std::vector<std::string> unread;
  bool seen = false;  // a line set the key already
  for (const std::string& line : lines)
    if (std::optional<std::string> why = UnreadReason(line, key, whole_number, seen))
      unread.push_back("\"" + line + "\" (" + *why + ")");
  return unread;
}

Settings DefaultSettings(const std::string& data_dir) {
  Settings s;
  s.DBPATH = data_dir + kProgramName + ".gdb";
  return s;
}

Settings ParseSettings(const std::vector<std::string>& lines, const std::string& data_dir) {
  Settings s = DefaultSettings(data_dir);
  if (std::optional<std::string> db = Lookup(lines, "DBPATH"); db && db->find_first_not_of(' ') != std::string::npos)
    s.DBPATH = *db;
  ReadText(lines, "DBUSER", s.DBUSER);
  ReadText(lines, "DBPASSWORD", s.DBPASSWORD);
  ReadText(lines, "LOGDIRNAME", s.LOGDIRNAME);
  if (!s.LOGDIRNAME.empty()) s.LOGDIRNAME = IncludeTrailingBackslash(s.LOGDIRNAME);
  ReadInt(lines, "HTTPPORT", s.HTTPPORT, 80);
  ReadInt(lines, "POOLSIZE", s.POOLSIZE, 20);
  ReadInt(lines, "MAXCONNECTIONS", s.MAXCONNECTIONS, 100);
  ReadInt(lines, "LOG_LEVEL", s.LOG_LEVEL, 1);
  ReadInt(lines, "TIMEOUTBEFORESTARTHTTP", s.TIMEOUTBEFORESTARTHTTP, s.TIMEOUTBEFORESTARTHTTP);
  ReadFlag(lines, "DISABLE_NAGLE_ALG", s.DISABLE_NAGLE_ALG);
  ReadFlag(lines, "USE_SMALL_BUFFER", s.USE_SMALL_BUFFER);
  ReadInt(lines, "LISTENQUEUE", s.LISTENQUEUE, s.LISTENQUEUE);
  ReadText(lines, "LISTENADDRESS", s.LISTENADDRESS);
  ReadInt(lines, "READTIMEOUT", s.READTIMEOUT, s.READTIMEOUT);
  ReadInt(lines, "STARTUPPRIORITYCLASS", s.STARTUPPRIORITYCLASS, 64);
  ReadText(lines, "ALLOWEDORIGINS", s.ALLOWEDORIGINS);
  ReadFlag(lines, "CONFIRMORIGINS", s.CONFIRMORIGINS);
  s.UnreadOriginLines = UnreadLinesOf(lines, "ALLOWEDORIGINS");
  for (std::string& line : UnreadLinesOf(lines, "CONFIRMORIGINS", /*whole_number=*/true))
    s.UnreadOriginLines.push_back(std::move(line));
  ReadInt(lines, "KEYCACHEMINUTES", s.KEYCACHEMINUTES, 0);
  return s;
}

std::vector<std::string> MergeSettings(std::vector<std::string> lines, const Settings& s) {
  Put(lines, "DBPATH", s.DBPATH);
  Put(lines, "DBUSER", s.DBUSER);
  Put(lines, "DBPASSWORD", s.DBPASSWORD);
  Put(lines, "LOGDIRNAME", s.LOGDIRNAME);
  Put(lines, "HTTPPORT", std::to_string(s.HTTPPORT));
  Put(lines, "POOLSIZE", std::to_string(s.POOLSIZE));
  Put(lines, "MAXCONNECTIONS", std::to_string(s.MAXCONNECTIONS));
  Put(lines, "LOG_LEVEL", std::to_string(s.LOG_LEVEL));
  return lines;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  return lines;
}

Settings SettingsInForce::Get() const {
  MutexLock lock(mu_);
  return settings_;
}

void SettingsInForce::Set(const Settings& s) {
  MutexLock lock(mu_);
  settings_ = s;
  SetLogLevel(s.LOG_LEVEL);
}

int LogLevel() { return g_log_level.load(std::memory_order_relaxed); }

void SetLogLevel(int level) { g_log_level.store(level, std::memory_order_relaxed); }

LoadedSettings LoadSettings(const std::string& config_file, const std::string& data_dir) {
  std::vector<std::string> lines;
  LoadedSettings loaded;
  std::error_code ec;
  if (std::filesystem::exists(config_file, ec)) {
    const auto size = std::filesystem::file_size(config_file, ec);
    try {
      if (!ec && size > kMaxConfigSize) {
        loaded.problem = "the file is larger than " + std::to_string(kMaxConfigSize) + " bytes";
      } else if (const std::string text = ReadFileToString(config_file); text.find('\0') != std::string::npos) {
        loaded.problem = "the file is not a text file";
      } else {
        lines = SplitLines(text);
      }
    } catch (const Exception& e) {
      loaded.problem = e.what();
    }
  }
  loaded.settings = ParseSettings(lines, data_dir);
  return loaded;
}

Settings AsSaved(const Settings& s, const std::string& data_dir) {
  const Settings read = ParseSettings(MergeSettings({}, s), data_dir);
  Settings out = s;
  out.DBPATH = read.DBPATH;
  out.DBUSER = read.DBUSER;
  out.DBPASSWORD = read.DBPASSWORD;
  out.LOGDIRNAME = read.LOGDIRNAME;
  out.HTTPPORT = read.HTTPPORT;
  out.POOLSIZE = read.POOLSIZE;
  out.MAXCONNECTIONS = read.MAXCONNECTIONS;
  out.LOG_LEVEL = read.LOG_LEVEL;
  return out;
}

void SettingsInForce::DeferDatabasePath(const std::string& path) {
  MutexLock lock(mu_);
  if (path == settings_.DBPATH) {
    deferred_db_path_.reset();
  } else {
    deferred_db_path_ = path;
  }
}

std::string SettingsInForce::DatabasePathForNextStart() const {
  MutexLock lock(mu_);
  return deferred_db_path_.value_or(settings_.DBPATH);
}

void SettingsInForce::ApplyDeferredDatabasePath() {
  MutexLock lock(mu_);
  if (!deferred_db_path_) return;
  settings_.DBPATH = *deferred_db_path_;
  deferred_db_path_.reset();
}

void SaveSettings(const std::string& file_name, const Settings& s) {
  std::vector<std::string> lines;
  try {
    const std::string text = ReadFileToString(file_name);
    if (text.size() <= kMaxConfigSize && text.find('\0') == std::string::npos) lines = SplitLines(text);
  } catch (const Exception&) {
    // Unreadable or missing: the new file holds just the saved keys.
  }
  std::string text;
  for (const std::string& line : MergeSettings(std::move(lines), s)) text += line + "\r\n";
  // A sibling renamed over the file: a failed write never leaves a
  // half-written configuration behind. The configuration may be a link to
  // the administrator's file (/etc): the link stays and the file it names
  // is replaced, with its owner and mode.
  SaveFileThroughLinks(file_name, text);
}

}  // namespace zuntar
