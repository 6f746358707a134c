// PluginContext: what the threads of a running plugin share.
//
// The control that runs the plugin owns it and hands it to the HTTP front
// end (each command gets it in its CommandContext) and to the processing
// thread; nothing else reaches it (the desktop asks the control). It
// outlives both: Stop ends them before Start replaces what they used. The
// layers below (certs, crypto) are given what they need of it as
// parameters.
//
// The values the design names process-wide stay where every layer reads
// them: PluginVersion and IsCP1251, fixed at start-up
// (core/process_values.h), and CSPStatus and the log (its file name, and
// its level, which follows the settings in force), under their own locks.
#pragma once

#include "certs/provider_detection.h"
#include "core/process_values.h"
#include "core/settings.h"
#include "crypto/cert_manager_instance.h"
#include "platform/locked_value.h"
#include "tasks/task_queue.h"

namespace zuntar {

struct PluginContext {
  PluginContext() = default;
  explicit PluginContext(const StartupValues& values) : instance(values) {}

  // The instance's own start-up values: folders, files, name, run mode.
  const StartupValues instance;
  // The settings in force, and the database path the next Start takes.
  SettingsInForce settings;
  // The GOST providers Start found.
  LockedValue<ProviderState> providers;
  // CertificateManager: created by Start (or none when that failed).
  SharedCertManager certificate_manager;
  // The processing thread's queue, appended to by HTTP workers.
  TaskQueue task_queue;
};

}  // namespace zuntar
