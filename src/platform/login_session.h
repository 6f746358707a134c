// The desktop session this process belongs to, as systemd-logind knows it.
//
// logind reports on the system bus when a session's screen is locked and
// when the session ends; the desktop layer listens there for the session
// named here.
#pragma once

#include <string>

namespace zuntar {

// The logind session of this process (from its control group), else the
// one XDG_SESSION_ID names; empty when it belongs to none (a service).
std::string CurrentLoginSession();

// logind's object of a session: /org/freedesktop/login1/session/<id>, the
// id escaped as D-Bus object paths need it ("2" is "_32").
std::string LoginSessionObjectPath(const std::string& session);

}  // namespace zuntar
