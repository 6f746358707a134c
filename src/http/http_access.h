// THttpAccess: the plugin's HTTP front end.
//
// Owns the server and routes every request on its worker thread
// (HTTPServerCommandGet): fixed reply headers, the POST and GET paths of
// the command table, the end of the worker's database work, the request log
// lines, and recovery from failures so that one bad request never takes the
// worker or the server down. Before a request's body is read it is judged
// on its head alone: the Host it names, the peer, the command and, for the
// commands that need the user's keys, the page's origin. A refused request
// never brings its body in.
#pragma once

#include <memory>
#include <string>

#include "http/command_table.h"
#include "http/host_header.h"
#include "http/http_server.h"
#include "http/origin_guard.h"
#include "tasks/task_dm.h"

namespace zuntar {

// A worker thread's own state: its database module, created when a request
// first needs it and kept for the thread's life.
class THTTPAccessThread : public WorkerState {
 public:
  // `settings`: those in force, for the database module; they must outlive
  // the thread's state.
  explicit THTTPAccessThread(const SettingsInForce& settings) : settings(settings) {}
  ~THTTPAccessThread() override;
  const SettingsInForce& settings;
  std::unique_ptr<TDM> dm;
};

class THttpAccess : public HttpHandler {
 public:
  // Applies the settings in force of `plugin` and starts listening. Throws when the
  // port cannot be bound. Without `listen` there is no server at all: only
  // connections handed to it in process reach the dispatch (the fuzz target
  // hands it some).
  // `plugin`: what the commands share with the rest of the running plugin;
  // it must outlive the front end. `consents`: where the person's decisions
  // about web sites are kept.
  THttpAccess(PluginContext& plugin, CommandRegistry commands, OriginConsentFile consents = OriginConsentFile(),
              bool listen = true);
  ~THttpAccess() override;

  // Listening off (port released) and on again.
  void Pause();
  void Continue();
  // The listening port; 0 without a server.
  int port() const { return server_ ? server_->port() : 0; }

  std::unique_ptr<WorkerState> NewWorkerState() override;
  bool WantsLocalAddress(const std::string& peer_ip) override;
  void OnConnect(WorkerState& state, const std::string& local_ip, const std::string& peer_ip) override;
  void OnConnectionError(WorkerState& state, const std::string& text) override;
  void Handle(WorkerState& state, HttpRequest& request, HttpResponse& response, RequestBody& body) override;

  void HTTPServerCommandGet(THTTPAccessThread& thread, HttpRequest& request, HttpResponse& response,
                            RequestBody& body);

 private:
  // False when the body could not be read: the request gets no reply.
  bool PostPath(THTTPAccessThread& thread, const std::string& command, HttpRequest& request,
                HttpResponse& response, RequestBody& body);
  void GetPath(THTTPAccessThread& thread, const std::string& command, HttpRequest& request,
               HttpResponse& response);
  // Runs a GET command's handler; a connection kept from an earlier request
  // (`kept_connection`) and found lost is replaced once.
  int RunGetHandler(THTTPAccessThread& thread, const CommandEntry& entry, HttpRequest& request,
                    HttpResponse& response, std::string& buffer, bool kept_connection);
  void PostRecovery(THTTPAccessThread& thread, const std::exception& e, HttpResponse& response);
  void GetRecovery(THTTPAccessThread& thread, const std::exception& e, HttpResponse& response);
  void SetCorsHeaders(const HttpRequest& request, HttpResponse& response) const;
  void AnswerPreflight(const std::string& command, const HttpRequest& request, HttpResponse& response);
  // False, with the 403 reply written and logged, when the request's Host
  // header does not name this machine.
  bool HostAllowed(const HttpRequest& request, HttpResponse& response);
  // False, with the 403 reply written and logged, when the request's page
  // may not use `entry`.
  bool OriginAllowed(const CommandEntry& entry, const std::string& command, const HttpRequest& request,
                     HttpResponse& response);

  PluginContext& plugin_;
  const CommandRegistry commands_;
  TOriginGuard origins_;
  TMachineNames machine_;
  std::unique_ptr<HttpServer> server_;
};

// Peers on this machine: "localhost", "127.0.0.1", and the IPv6 loopback.
bool IsLocalPeer(const std::string& peer_ip);

// "#Error#" texts and log lines name the failure's class.
const char* ClassNameOf(const std::exception& e);

// The worker's database module, created when missing and database use is
// enabled (IsCP1251); none otherwise.
TDM* GetWorkerDM(THTTPAccessThread& thread);
void DiscardWorkerDM(THTTPAccessThread& thread);

}  // namespace zuntar
