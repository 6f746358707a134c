#include "host/control_signals.h"

#include <signal.h>

#include <cerrno>
#include <initializer_list>

namespace zuntar {
namespace {

sigset_t ControlSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
  return set;
}

}  // namespace

void BlockControlSignals() {
  const sigset_t set = ControlSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForControlSignal() {
  const sigset_t set = ControlSet();
  for (;;) {
    const int s = sigwaitinfo(&set, nullptr);
    if (s > 0) return s;
    if (errno != EINTR) return SIGTERM;  // cannot wait any more: end in order
  }
}

}  // namespace zuntar
