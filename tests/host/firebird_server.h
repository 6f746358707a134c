// A Firebird server of a test's own: Debian's server binary run on a free
// port over a private folder (configuration, security database, locks,
// databases), so a test may kill and restart it without touching the
// machine's own server or its port 3050.
#pragma once

#include <sys/types.h>

#include <string>

#include "support/temp_dir.h"

namespace zuntar::test {

class FirebirdServer {
 public:
  // The server binary and the tool that makes its security database are
  // installed (firebird3.0-server, firebird3.0-utils).
  static bool Installed();

  // Prepares the folder and the SYSDBA account; the server is not running
  // yet. Throws std::runtime_error when the account cannot be made.
  FirebirdServer();
  ~FirebirdServer();
  FirebirdServer(const FirebirdServer&) = delete;
  FirebirdServer& operator=(const FirebirdServer&) = delete;

  // Starts the server and waits until it accepts connections; false when
  // it did not within `seconds`.
  bool Start(int seconds = 20);
  // Ends the server at once (SIGKILL), as a crash would.
  void Kill();

  int port() const { return port_; }
  static const char* user() { return "SYSDBA"; }
  const std::string& password() const { return password_; }
  // A database of this server as a client names it: localhost/port:/path.
  std::string DatabaseUrl(const std::string& file_name) const;

 private:
  TempDir root_;
  int port_ = 0;
  std::string password_ = "zuntar-test";
  pid_t pid_ = -1;
};

}  // namespace zuntar::test
