// PING, GETVER and TRYUSEPLUGIN: whether the plugin is there and usable.
#pragma once

#include "http/command_table.h"

namespace zuntar {

void RegisterInformationCommands(CommandRegistry& registry);

}  // namespace zuntar
