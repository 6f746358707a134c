#include "http/info_commands.h"

#include "core/process_values.h"
#include "http/reply.h"

namespace zuntar {
namespace {

int Ping(CommandContext& c) {
  const std::string status = CSPStatus();
  c.response.body = status.empty() ? MakeReply(true, Startup().PluginVersion, {}, true)
                                   : MakeReply(false, Startup().PluginVersion, {status}, true);
  return 200;
}

int GetVer(CommandContext& c) {
  c.response.body = MakeReply(true, Startup().PluginVersion, {}, true);
  return 200;
}

int TryUsePlugin(CommandContext& c) {
  const std::string status = CSPStatus();
  c.buffer = status.empty() ? MakeReply(true, "", {}) : MakeReply(false, "", {status});
  return 200;
}

}  // namespace

void RegisterInformationCommands(CommandRegistry& registry) {
  registry.Register("PING", CommandMethod::kGet, Ping);
  registry.Register("GETVER", CommandMethod::kGet, GetVer);
  registry.Register("TRYUSEPLUGIN", CommandMethod::kGet, TryUsePlugin);
}

}  // namespace zuntar
