// The embedded Firebird engine's configuration.
//
// Two plugin instances must be able to open one database file at the same
// time. The packaged configuration runs the embedded engine as "Super",
// which locks a database file for one process. Before the first client
// call we therefore point FIREBIRD at a private root that holds a
// firebird.conf with ServerMode = SuperClassic and links to the package's
// plugins, character sets and messages; /etc is never touched.
#pragma once

#include <string>

namespace zuntar {

// Sets FIREBIRD to the private root, creating the root when needed. Runs
// once per process; later calls do nothing. An operator's own FIREBIRD
// value is kept. Must run before any Firebird client call, and before
// other threads read the environment.
void PrepareFirebirdClient();

// The private root: <runtime dir>/zuntar-firebird-<uid>.
std::string PrivateFirebirdRoot();

}  // namespace zuntar
