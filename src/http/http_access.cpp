#include "http/http_access.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "core/log.h"
#include "core/process_values.h"
#include "core/settings.h"
#include "core/text.h"
#include "core/utf.h"
#include "http/http_errors.h"
#include "http/reply.h"
#include "tasks/ib_error.h"

namespace zuntar {
namespace {

using Clock = std::chrono::steady_clock;

std::string ThreadId() { return std::to_string(static_cast<long>(::syscall(SYS_gettid))); }

// "ss zzz": seconds within the minute and milliseconds.
std::string HandleTime(Clock::duration elapsed) {
  const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  char text[16];
  std::snprintf(text, sizeof text, "%02lld %03lld", ms / 1000 % 60, ms % 1000);
  return text;
}

std::string RequestText(const HttpRequest& r) { return "\"" + r.path + "/" + r.query + "\""; }

// A header value as the log and the reply may show it.
std::string Printable(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return text;
}

void SetFixedHeaders(HttpResponse& response) {
  response.SetHeader("MERVO", Startup().PluginVersion);
  response.SetHeader("Access-Control-Allow-Origin", "*");
  response.SetHeader("Access-Control-Allow-Headers", "Origin, X-Requested-With, Content-Type, Accept");
  response.SetHeader("Access-Control-Allow-Methods", "POST, GET, OPTIONS");
  response.SetHeader("Access-Control-Max-Age", "86400");
  response.SetHeader("Vary", "Accept-Encoding, Origin");
  response.content_type = "application/json;charset=utf-8";
  response.content_encoding = "utf-8";
}

void ProbeDM(TDM& dm) {
  dm.StartTran(true);
  dm.CommitTran(true);
}

// The worker's module for a POST command. A database that cannot be
// reached leaves the worker without one: a synchronous task still runs, and
// a queued one is refused with a clear answer instead of a lost request.
TDM* AcquireWorkerDM(THTTPAccessThread& thread) {
  try {
    return GetWorkerDM(thread);
  } catch (const std::exception& e) {
    LogError("no DB connection, thread=" + ThreadId() + " " + e.what());
    return nullptr;
  }
}

// Probes the module with an empty read-write transaction; a broken
// connection is replaced once.
void CheckWorkerDM(THTTPAccessThread& thread) {
  if (!thread.dm) return;
  try {
    ProbeDM(*thread.dm);
  } catch (const std::exception&) {
    LogError("bad DB connection - try to reconnect, thread=" + ThreadId());
    DiscardWorkerDM(thread);
    if (TDM* dm = AcquireWorkerDM(thread)) ProbeDM(*dm);
  }
}

// Commits the worker's database work, once more after 100 ms when another
// transaction held a lock.
void CommitWorkerDM(TDM& dm) {
  try {
    dm.CommitAll();
  } catch (const std::exception& e) {
    if (!IsLockConflict(e)) throw;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    dm.CommitAll();
  }
}

bool IsDatabaseError(const std::exception& e) { return dynamic_cast<const EIBError*>(&e) != nullptr; }

std::string ErrorBody(const std::exception& e) {
  return Utf8FromAnsi(std::string("#Error#") + ClassNameOf(e) + " " + e.what());
}

}  // namespace

THTTPAccessThread::~THTTPAccessThread() {
  if (!dm) return;
  try {
    dm->Close();
  } catch (const std::exception& e) {
    LogError(std::string("during DM destroy ") + e.what());
  }
}

bool IsLocalPeer(const std::string& peer_ip) {
  return SameText(peer_ip, "localhost") || peer_ip == "127.0.0.1" || peer_ip == "::1";
}

const char* ClassNameOf(const std::exception& e) {
  if (const auto* own = dynamic_cast<const Exception*>(&e)) return own->ClassName();
  return "Exception";
}

TDM* GetWorkerDM(THTTPAccessThread& thread) {
  if (!thread.dm && Startup().IsCP1251) thread.dm = CreateTaskDM(thread.settings.Get());
  return thread.dm.get();
}

void DiscardWorkerDM(THTTPAccessThread& thread) {
  try {
    if (thread.dm) thread.dm->Close();
  } catch (const std::exception&) {
    // The module is dropped either way.
  }
  thread.dm.reset();
}

THttpAccess::THttpAccess(PluginContext& plugin, CommandRegistry commands, OriginConsentFile consents, bool listen)
    : plugin_(plugin), commands_(std::move(commands)), origins_(plugin.settings.Get(), std::move(consents)) {
  const Settings s = plugin_.settings.Get();
  for (const std::string& entry : origins_.list().Unusual())
    LogError("ALLOWEDORIGINS: \"" + Printable(entry) + "\" is not an origin (scheme://host[:port])");
  origins_.LogPolicy(s, plugin_.instance.ConfigFileName);
  if (!listen) return;
  HttpServerOptions o;
  o.address = s.LISTENADDRESS;
  o.port = s.HTTPPORT;
  o.max_connections = s.MAXCONNECTIONS;
  o.listen_queue = s.LISTENQUEUE;
  o.pool_size = s.POOLSIZE;
  o.no_delay = s.DISABLE_NAGLE_ALG != 0;
  o.small_send_buffer = s.USE_SMALL_BUFFER != 0;
  o.read_timeout_ms = s.READTIMEOUT;
  server_ = std::make_unique<HttpServer>(o, *this);
}

THttpAccess::~THttpAccess() { server_.reset(); }

void THttpAccess::Pause() {
  if (server_) server_->Deactivate();
}

void THttpAccess::Continue() {
  if (server_) server_->Activate();
}

std::unique_ptr<WorkerState> THttpAccess::NewWorkerState() {
  return std::make_unique<THTTPAccessThread>(plugin_.settings);
}

// The Host check looks at the address reached only for peers on other
// machines; the connection line shows it above level 3.
bool THttpAccess::WantsLocalAddress(const std::string& peer_ip) { return LogLevel() > 3 || !IsLocalPeer(peer_ip); }

void THttpAccess::OnConnect(WorkerState&, const std::string& local_ip, const std::string& peer_ip) {
  if (LogLevel() > 3) LogDebug("Connecting to " + local_ip + " from " + peer_ip);
}

void THttpAccess::OnConnectionError(WorkerState&, const std::string& text) {
  if (LogLevel() > 3) LogDebug(text);
}

void THttpAccess::Handle(WorkerState& state, HttpRequest& request, HttpResponse& response, RequestBody& body) {
  HTTPServerCommandGet(static_cast<THTTPAccessThread&>(state), request, response, body);
}

void THttpAccess::HTTPServerCommandGet(THTTPAccessThread& thread, HttpRequest& request, HttpResponse& response,
                                       RequestBody& body) {
  const bool trace = LogLevel() > 1;
  const Clock::time_point start = Clock::now();
  const std::string path = UpperCase(request.path);
  const bool ping = trace && path.find("PING") != std::string::npos;
  if (trace && !ping) LogDebug("<<Request: " + RequestText(request) + " from IP=" + request.peer_ip);
  const size_t at = path.find("/MERVO/");
  const std::string command = at == std::string::npos ? std::string() : path.substr(at + 7);
  SetCorsHeaders(request, response);

  bool answered = true;
  if (!HostAllowed(request, response)) {
    // Refused whatever it asks.
  } else if (request.method == "POST" && at != std::string::npos) {
    answered = PostPath(thread, command, request, response, body);
  } else if (request.method == "GET" && at != std::string::npos) {
    GetPath(thread, command, request, response);
  } else if (request.method == "OPTIONS") {
    AnswerPreflight(command, request, response);
  } else {
    LogDebug("Request: " + RequestText(request) + " from IP=" + request.peer_ip);
    response.body = "Unknown command";
  }

  if (trace && !ping && answered)
    LogDebug(">>Request: " + RequestText(request) + ", HTTP RESULT=" + std::to_string(response.status) +
             ", handle time " + HandleTime(Clock::now() - start));
}

void THttpAccess::SetCorsHeaders(const HttpRequest& request, HttpResponse& response) const {
  SetFixedHeaders(response);
  // A listed origin is named, so the reply reaches that page only; the
  // fixed Vary header already names Origin for the caches.
  if (request.origin && origins_.NamesOrigin(*request.origin))
    response.SetHeader("Access-Control-Allow-Origin", *request.origin);
}

void THttpAccess::AnswerPreflight(const std::string& command, const HttpRequest& request,
                                  HttpResponse& response) {
  response.SetHeader("Access-Control-Allow-Origin", request.origin.value_or(""));
  // Browsers ask before a public site's page may reach this machine; the
  // answer lets the pages that may use the command.
  if (!SameText(request.request_private_network, "true")) return;
  if (!request.origin || CommandRegistry::IsOpenCommand(command) || origins_.MayAdmit(*request.origin))
    response.SetHeader("Access-Control-Allow-Private-Network", "true");
}

bool THttpAccess::HostAllowed(const HttpRequest& request, HttpResponse& response) {
  if (!request.host || HostNamesThisMachine(*request.host, IsLocalPeer(request.peer_ip), request.local_ip, machine_))
    return true;
  const std::string refusal =
      AnsiFromUtf8("Имя ") + Printable(*request.host) + AnsiFromUtf8(" не принадлежит этому компьютеру");
  LogEvent(refusal + " (Host): " + RequestText(request) + " from IP=" + request.peer_ip);
  response.status = 403;
  response.body = MakeReply(false, "", {refusal});
  return false;
}

bool THttpAccess::OriginAllowed(const CommandEntry& entry, const std::string& command, const HttpRequest& request,
                                HttpResponse& response) {
  if (entry.origins == CommandOrigins::kOpen || !request.origin) return true;
  const OriginVerdict verdict = origins_.Check(*request.origin);
  if (verdict == OriginVerdict::kAllowed) return true;
  const std::string origin = Printable(*request.origin);
  const std::string refusal = AnsiFromUtf8("Сайт ") + origin + AnsiFromUtf8(" не допущен к ключам");
  LogEvent(refusal + " (" + RefusalReason(verdict) + AnsiFromUtf8("; допускает его ") +
           Printable(AdmittingSetting(*request.origin)) + "): " + command + " from IP=" + request.peer_ip);
  response.status = 403;
  response.body = MakeReply(false, "", {refusal});
  return false;
}

bool THttpAccess::PostPath(THTTPAccessThread& thread, const std::string& path_command, HttpRequest& request,
                           HttpResponse& response, RequestBody& body) {
  try {
    std::string command = path_command.substr(0, path_command.find('&'));
    bool sync = false;
    if (const size_t p = command.find("_SYNC"); p != std::string::npos) {
      command.erase(p, 5);
      sync = true;
    }
    const CommandEntry* entry = commands_.Find(command, CommandMethod::kPost);
    if (entry == nullptr) throw ReglamentException("Unknown command \"" + command + "\"");
    // A synchronous reply carries the operation's result (a signature made
    // with the user's key): only pages on this machine may have it.
    if (sync && !IsLocalPeer(request.peer_ip)) {
      response.status = 501;
      return true;
    }
    if (!OriginAllowed(*entry, command, request, response)) return true;

    // Admitted: only now does the body come in.
    if (!body.Read(request)) return false;
    if (LogLevel() > 2) LogDebug(request.body);
    // Only the commands that keep tasks touch the database; the others
    // answer whatever its state.
    const bool database = UsesDatabase(*entry);
    if (database) {
      AcquireWorkerDM(thread);
      CheckWorkerDM(thread);
    }
    std::string unused_buffer;
    CommandContext context{
        request, response, unused_buffer, plugin_, sync, entry->task_type, database ? thread.dm.get() : nullptr};
    response.status = commands_.HandlerOf(*entry)(context);
    if (database && thread.dm && !context.dm_busy) CommitWorkerDM(*thread.dm);
  } catch (const std::exception& e) {
    PostRecovery(thread, e, response);
  }
  return true;
}

void THttpAccess::PostRecovery(THTTPAccessThread& thread, const std::exception& e, HttpResponse& response) {
  const std::string tid = ThreadId();
  LogError("thread=" + tid + " " + ClassNameOf(e) + " " + e.what());
  response.body = ErrorBody(e);
  response.body_source.reset();  // a reply made before the failure is not sent
  if (thread.dm) {
    try {
      thread.dm->CommitAll();
    } catch (const EIBError& commit_error) {
      LogError("Error on update session,kill DM, thread=" + tid + " " + commit_error.what());
      DiscardWorkerDM(thread);
    } catch (const std::exception& commit_error) {
      LogError("Error on update session,thread=" + tid + " " + commit_error.what());
    }
  }
  if (IsDatabaseError(e)) {
    LogEvent("killing DM after error, thread=" + tid);
    DiscardWorkerDM(thread);
  }
}

void THttpAccess::GetPath(THTTPAccessThread& thread, const std::string& command, HttpRequest& request,
                          HttpResponse& response) {
  try {
    // `command` comes from the upper-cased path, so it is upper case already.
    const bool kept_connection = thread.dm != nullptr;
    const CommandEntry* entry = commands_.Find(command, CommandMethod::kGet);
    if (entry == nullptr) throw ReglamentException("Unknown command \"" + command + "\"");
    // The certificate and information commands answer whatever the
    // database's state: only those that read tasks connect.
    if (UsesDatabase(*entry)) GetWorkerDM(thread);
    if (entry->peers == CommandPeers::kLocalOnly && !IsLocalPeer(request.peer_ip)) {
      response.status = 501;
      return;
    }
    if (!OriginAllowed(*entry, command, request, response)) return;
    std::string buffer;
    if (entry->failure == CommandFailure::kStatus500) {
      try {
        CommandContext context{request, response, buffer, plugin_, false, entry->task_type, thread.dm.get()};
        response.status = commands_.HandlerOf(*entry)(context);
      } catch (const std::exception& e) {
        response.status = 500;
        response.reason = e.what();
        response.body.clear();
        response.body_source.reset();
        return;
      }
    } else {
      response.status = RunGetHandler(thread, *entry, request, response, buffer, kept_connection);
    }
    if (!buffer.empty()) response.body = std::move(buffer);
  } catch (const std::exception& e) {
    GetRecovery(thread, e, response);
  }
}

int THttpAccess::RunGetHandler(THTTPAccessThread& thread, const CommandEntry& entry, HttpRequest& request,
                               HttpResponse& response, std::string& buffer, bool kept_connection) {
  try {
    CommandContext context{request, response, buffer, plugin_, false, entry.task_type, thread.dm.get()};
    return commands_.HandlerOf(entry)(context);
  } catch (const std::exception& e) {
    // Only a connection kept from an earlier request can have been lost
    // unseen (its server restarted since). GET commands only read, so they
    // run once more on a new connection, as the POST path's probe allows.
    if (!kept_connection || !IsConnectionLost(e)) throw;
    LogError("bad DB connection - try to reconnect, thread=" + ThreadId() + " " + e.what());
    DiscardWorkerDM(thread);
    GetWorkerDM(thread);
    response.body.clear();
    response.body_source.reset();
    buffer.clear();
    CommandContext context{request, response, buffer, plugin_, false, entry.task_type, thread.dm.get()};
    return commands_.HandlerOf(entry)(context);
  }
}

void THttpAccess::GetRecovery(THTTPAccessThread& thread, const std::exception& e, HttpResponse& response) {
  response.body = ErrorBody(e);
  response.body_source.reset();
  LogError(e.what());
  if (thread.dm) {
    try {
      thread.dm->CommitAll();
    } catch (const std::exception&) {
      // Swallowed: the request already failed and says so.
    }
  }
  if (IsDatabaseError(e)) DiscardWorkerDM(thread);
}

}  // namespace zuntar
