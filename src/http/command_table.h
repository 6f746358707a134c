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
#include "tasks/crypto_task.h"
#include "tasks/plugin_context.h"

namespace zuntar {

class TDM;

// The task type of a command that is no task command.
inline constexpr int kNoTask = -1;

// What a command handler gets for one request.
struct CommandContext {
  HttpRequest& request;  // raw query string and body (a handler may take the body)
  HttpResponse& response;      // headers and, for POST commands, the body
  std::string& buffer;         // GET commands: the reply body, when not empty
  PluginContext& plugin;       // what the running plugin's threads share
  bool sync = false;           // the command carried "_SYNC"
  int task_type = kNoTask;     // task type of task commands, kNoTask for others
  TDM* dm = nullptr;           // the worker's database module, or none
  bool dm_busy = false;        // the reply still uses `dm`: nothing else may until it is gone
};

// Returns the HTTP status to send.
using CommandHandler = std::function<int(CommandContext&)>;

enum class CommandMethod { kPost, kGet };

// Who may call a command.
enum class CommandPeers { kAny, kLocalOnly };
// How a command's failure is answered: the JSON error envelope, or status
// 500 with the message as reason.
enum class CommandFailure { kEnvelope, kStatus500 };
// Whether a web page calling the command must come from an allowed origin
// (TOriginGuard): it uses the user's keys or shows certificates, tasks or
// the log.
enum class CommandOrigins { kOpen, kGuarded };

struct CommandEntry {
  std::string_view name;
  CommandMethod method;
  CommandPeers peers;
  CommandFailure failure;
  int task_type;  // a task type (TTYPE), or kNoTask
  CommandOrigins origins;
};

// Short names for the table's columns, so each row reads on one line.
namespace command_table {

constexpr auto kPost = CommandMethod::kPost;
constexpr auto kGet = CommandMethod::kGet;
constexpr auto kAny = CommandPeers::kAny;
constexpr auto kLocal = CommandPeers::kLocalOnly;
constexpr auto kEnvelope = CommandFailure::kEnvelope;
constexpr auto k500 = CommandFailure::kStatus500;
constexpr auto kOpen = CommandOrigins::kOpen;
constexpr auto kGuarded = CommandOrigins::kGuarded;

inline constexpr std::array<CommandEntry, 21> kCommandTable = {{
    {"GETSIGN", kPost, kAny, kEnvelope, kTaskDetachedSign, kGuarded},
    {"GETSIGN_ATT", kPost, kAny, kEnvelope, kTaskAttachedSign, kGuarded},
    {"GET_XML_SIGN", kPost, kAny, kEnvelope, kTaskXmlSign, kGuarded},
    {"SIGN_HASH", kPost, kAny, kEnvelope, kTaskSignHash, kGuarded},
    {"SIGN_SEDO_REQUEST", kPost, kAny, kEnvelope, kTaskSedoRequest, kGuarded},
    {"SIGN_POVED_REQUEST", kPost, kAny, kEnvelope, kTaskPovedRequest, kGuarded},
    {"DECRYPT", kPost, kAny, kEnvelope, kTaskDecrypt, kGuarded},
    {"DECRYPT_SEDO_RESPONSE", kPost, kAny, kEnvelope, kTaskDecryptSedoResponse, kGuarded},
    {"DECRYPT_FSS_RESPONSE", kPost, kAny, kEnvelope, kTaskDecryptSedoResponse, kGuarded},
    {"DECRYPT_POVED_RESPONSE", kPost, kAny, kEnvelope, kTaskDecryptPovedResponse, kGuarded},
    {"CHECKCERTANDCLUE", kPost, kAny, kEnvelope, kNoTask, kGuarded},
    {"PING", kGet, kAny, kEnvelope, kNoTask, kOpen},
    {"GETRESULT", kGet, kLocal, kEnvelope, kNoTask, kGuarded},
    {"GETLOGFILE", kGet, kLocal, kEnvelope, kNoTask, kGuarded},
    {"GETLOGINFO", kGet, kLocal, kEnvelope, kNoTask, kGuarded},
    {"GETVER", kGet, kLocal, kEnvelope, kNoTask, kOpen},
    {"ENUMCERTS", kGet, kLocal, k500, kNoTask, kGuarded},
    {"ENUMALLCERTS", kGet, kLocal, k500, kNoTask, kGuarded},
    {"GETCERTBODY", kGet, kLocal, k500, kNoTask, kGuarded},
    {"CHECKCERTANDCLUE", kGet, kLocal, k500, kNoTask, kGuarded},
    {"TRYUSEPLUGIN", kGet, kAny, kEnvelope, kNoTask, kOpen},
}};

}  // namespace command_table

using command_table::kCommandTable;

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
