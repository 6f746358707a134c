#include "host/control_signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

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

int OpenControlSignalDescriptor() {
  const sigset_t set = ControlSet();
  return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

int TakeControlSignal(int descriptor) {
  signalfd_siginfo info{};
  for (;;) {
    const ssize_t n = ::read(descriptor, &info, sizeof info);
    if (n == static_cast<ssize_t>(sizeof info)) return static_cast<int>(info.ssi_signo);
    if (n < 0 && errno == EINTR) continue;
    return 0;
  }
}

}  // namespace zuntar
