// Random (version 4) GUIDs.
#pragma once

#include <string>

namespace zuntar {

// A new GUID as 36 lower-case characters with four '-', without braces.
std::string NewGuidText();

}  // namespace zuntar
