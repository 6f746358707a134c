// The program's icons, drawn at run time in every size a tray or a title
// bar asks for: a white key on blue while the plugin serves, on grey with
// a red stop mark while it does not (stopped, paused, or HTTP failed).
#pragma once

#include <QIcon>

namespace zuntar {

enum class PluginState { kRunning, kStopped };

// Needs the application object.
QIcon PluginIcon(PluginState state);

}  // namespace zuntar
