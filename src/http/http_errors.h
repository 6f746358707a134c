// Failures the front end raises itself.
#pragma once

#include "platform/exception.h"

namespace zuntar {

// A request the plugin does not serve (unknown command, missing parameter).
ZUNTAR_DEFINE_EXCEPTION(ReglamentException, Exception);

}  // namespace zuntar
