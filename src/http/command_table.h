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
};

inline constexpr std::array<CommandEntry, 21> kCommandTable = {{
    {"GETSIGN", CommandMethod::kPost, false, false, 0},
    {"GETSIGN_ATT", CommandMethod::kPost, false, false, 1},
    {"GET_XML_SIGN", CommandMethod::kPost, false, false, 2},
    {"SIGN_HASH", CommandMethod::kPost, false, false, 8},
    {"SIGN_SEDO_REQUEST", CommandMethod::kPost, false, false, 4},
    {"SIGN_POVED_REQUEST", CommandMethod::kPost, false, false, 3},
    {"DECRYPT", CommandMethod::kPost, false, false, 5},
    {"DECRYPT_SEDO_RESPONSE", CommandMethod::kPost, false, false, 7},
    {"DECRYPT_FSS_RESPONSE", CommandMethod::kPost, false, false, 7},
    {"DECRYPT_POVED_RESPONSE", CommandMethod::kPost, false, false, 6},
    {"CHECKCERTANDCLUE", CommandMethod::kPost, false, false, -1},
    {"PING", CommandMethod::kGet, false, false, -1},
    {"GETRESULT", CommandMethod::kGet, true, false, -1},
    {"GETLOGFILE", CommandMethod::kGet, true, false, -1},
    {"GETLOGINFO", CommandMethod::kGet, true, false, -1},
    {"GETVER", CommandMethod::kGet, true, false, -1},
    {"ENUMCERTS", CommandMethod::kGet, true, true, -1},
    {"ENUMALLCERTS", CommandMethod::kGet, true, true, -1},
    {"GETCERTBODY", CommandMethod::kGet, true, true, -1},
    {"CHECKCERTANDCLUE", CommandMethod::kGet, true, true, -1},
    {"TRYUSEPLUGIN", CommandMethod::kGet, false, false, -1},
}};

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

 private:
  std::array<CommandHandler, kCommandTable.size()> handlers_;
};

}  // namespace zuntar
