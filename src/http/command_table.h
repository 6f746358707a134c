// The /MERVO/ commands: which method reaches which handler, and how.
//
// The table is fixed (its order is the order in which commands are
// matched); subsystems fill in the handlers they implement. A command
// without a handler answers like an unknown command.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "http/http_message.h"

namespace zuntar {

class TDM;

// What a command handler gets for one request.
struct CommandContext {
  HttpRequest& request;  // raw query string and body (a handler may take the body)
  HttpResponse& response;      // headers and, for POST commands, the body
  std::string& buffer;         // GET commands: the reply body, when not empty
  bool sync = false;           // the command carried "_SYNC"
  int task_type = -1;          // task type of task commands, -1 for others
  TDM* dm = nullptr;           // the worker's database module, or none
};

// Returns the HTTP status to send.
using CommandHandler = std::function<int(CommandContext&)>;

enum class CommandMethod { kPost, kGet };

struct CommandEntry {
  std::string_view name;
  CommandMethod method;
  bool local_only;     // answered only for peers on this machine
  bool errors_as_500;  // a failure becomes status 500 with the message as reason
  int task_type;
  // Uses the user's keys or shows certificates, tasks or the log: a web page
  // must come from an allowed origin (TOriginGuard).
  bool guarded;
};

inline constexpr std::array<CommandEntry, 21> kCommandTable = {{
    {"GETSIGN", CommandMethod::kPost, false, false, 0, true},
    {"GETSIGN_ATT", CommandMethod::kPost, false, false, 1, true},
    {"GET_XML_SIGN", CommandMethod::kPost, false, false, 2, true},
    {"SIGN_HASH", CommandMethod::kPost, false, false, 8, true},
    {"SIGN_SEDO_REQUEST", CommandMethod::kPost, false, false, 4, true},
    {"SIGN_POVED_REQUEST", CommandMethod::kPost, false, false, 3, true},
    {"DECRYPT", CommandMethod::kPost, false, false, 5, true},
    {"DECRYPT_SEDO_RESPONSE", CommandMethod::kPost, false, false, 7, true},
    {"DECRYPT_FSS_RESPONSE", CommandMethod::kPost, false, false, 7, true},
    {"DECRYPT_POVED_RESPONSE", CommandMethod::kPost, false, false, 6, true},
    {"CHECKCERTANDCLUE", CommandMethod::kPost, false, false, -1, true},
    {"PING", CommandMethod::kGet, false, false, -1, false},
    {"GETRESULT", CommandMethod::kGet, true, false, -1, true},
    {"GETLOGFILE", CommandMethod::kGet, true, false, -1, true},
    {"GETLOGINFO", CommandMethod::kGet, true, false, -1, true},
    {"GETVER", CommandMethod::kGet, true, false, -1, false},
    {"ENUMCERTS", CommandMethod::kGet, true, true, -1, true},
    {"ENUMALLCERTS", CommandMethod::kGet, true, true, -1, true},
    {"GETCERTBODY", CommandMethod::kGet, true, true, -1, true},
    {"CHECKCERTANDCLUE", CommandMethod::kGet, true, true, -1, true},
    {"TRYUSEPLUGIN", CommandMethod::kGet, false, false, -1, false},
}};

// Whether the command reads or writes the task table: the task commands,
// GETRESULT and GETLOGINFO. The others answer whatever the database's state,
// so a worker does no database work for them.
bool UsesDatabase(const CommandEntry& entry);

// Handlers by table position.
class CommandRegistry {
 public:
  // Registers the handler of `name` for `method`. Throws std::invalid_argument
  // for a command the table does not have.
  void Register(std::string_view name, CommandMethod method, CommandHandler handler);

  // POST: the entry whose name equals `command`; GET: the first entry whose
  // name starts `command`. Only entries with a handler count.
  const CommandEntry* Find(std::string_view command, CommandMethod method) const;
  const CommandHandler& HandlerOf(const CommandEntry& entry) const;

  // Whether a command text of a path (after "/MERVO/", upper case) names a
  // command every page may use: a GET command that is not guarded, as GET
  // matches it, and no POST command of that name, with or without "_SYNC".
  static bool IsOpenCommand(std::string_view command);

 private:
  std::array<CommandHandler, kCommandTable.size()> handlers_;
};

}  // namespace zuntar
