// The service control manager, played by systemd: a service is the unit
// <UnitDir()>/<name>.service.
//
// The unit runs the executable as the local system account (no User=) and
// is never enabled, which is systemd's form of a service started on demand.
// Stop is SIGTERM; SIGUSR1 and SIGUSR2 carry pause and continue
// (`systemctl kill -s USR1 <name>`); the service reports readiness with
// sd_notify. The unit confines the service (read-only system and home
// folders, its own state, log and runtime folders, a system-call filter and
// one capability); a program outside /usr may also write its own folder.
#pragma once

#include <optional>
#include <string>

#include "platform/exception.h"

namespace zuntar {

// Registering, removing or reading a service failed.
ZUNTAR_DEFINE_EXCEPTION(EServiceError, Exception);

struct ServiceDefinition {
  std::string name;          // unit name without ".service"
  std::string display_name;  // UTF-8, becomes Description=
  std::string executable;    // full path, becomes ExecStart=
};

// <UnitDir()>/<name>.service.
std::string ServiceUnitFile(const std::string& name);

// The unit file text for the definition.
std::string FormatServiceUnit(const ServiceDefinition& definition);

// True when the unit file exists.
bool ServiceExists(const std::string& name);

// The account the service is configured to run as: the last User= of its
// unit and drop-ins, or "LocalSystem" when none is given. Nothing when the
// service is not installed or its unit cannot be read.
std::optional<std::string> QueryServiceAccount(const std::string& name);

// Writes the unit. Throws EServiceError when the service exists already or
// the unit cannot be written.
void InstallService(const ServiceDefinition& definition);

// Removes the unit. Throws EServiceError when the service does not exist or
// the unit cannot be removed.
void RemoveService(const std::string& name);

// Makes systemd read the units again ("systemctl daemon-reload") when it
// runs this machine and no private platform root is in use. False only when
// the reload was needed and failed.
bool ReloadServiceManager();

// Sends a state ("READY=1", "STOPPING=1", "STATUS=...") to the service
// manager when it started the process with NOTIFY_SOCKET; otherwise does
// nothing. True when the state was sent.
bool NotifyServiceManager(const std::string& state);

}  // namespace zuntar
