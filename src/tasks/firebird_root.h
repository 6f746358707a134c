// The embedded Firebird engine's configuration.
//
// Two plugin instances must be able to open one database file at the same
// time. The packaged configuration runs the embedded engine as "Super",
// which locks a database file for one process. Before the first client
// call we therefore point FIREBIRD at a private root that holds a
// firebird.conf with ServerMode = SuperClassic and links to the package's
// plugins, character sets and messages; /etc is never touched. The root
// lives in the user's private run-time folder and is used only when it is
// the user's own.
#pragma once

#include <string>

namespace zuntar {

// Sets FIREBIRD to the private root and FIREBIRD_LOCK to its lock folder,
// creating them when needed. Runs once per process; later calls do
// nothing. An operator's own FIREBIRD value is kept, with FIREBIRD_LOCK as
// the operator left it. Start-up calls it while the process has one thread:
// it changes the environment, which other threads read without a lock, so
// no database call makes it on a thread's behalf later.
void PrepareFirebirdClient();

// The private root: <runtime dir>/zuntar-firebird-<uid>, with the
// engine's lock files in its folder "lock".
std::string PrivateFirebirdRoot();

// Brings the private root up to date: the run-time folder and the root
// must be private folders of the effective user (a folder another user
// made first is never used), its configuration a private file. Empty when
// the root may be used, else why not.
std::string BuildPrivateFirebirdRoot();

}  // namespace zuntar
