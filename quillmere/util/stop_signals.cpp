#include "quillmere/util/stop_signals.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>

namespace quillmere {

namespace {

volatile std::sig_atomic_t received_signal = 0;
volatile std::sig_atomic_t running_child_group = 0;

extern "C" void on_stop_signal(int signal_number) {
  if (received_signal == 0) {
    received_signal = signal_number;
    return;
  }
  // Asked twice: stop now. Only async-signal-safe calls here.
  if (running_child_group > 0) ::kill(-static_cast<pid_t>(running_child_group), SIGTERM);
  ::_exit(128 + received_signal);
}

}  // namespace

void install_stop_handlers() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  // Restarted system calls: a signal while waiting for git must not turn
  // into a failed read or wait; the run looks at the flag at its safe points.
  action.sa_flags = SA_RESTART;
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal_number, &action, nullptr);
}

int stop_signal() { return received_signal; }

std::string stop_signal_name(int signal_number) {
  switch (signal_number) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
  }
  return "signal " + std::to_string(signal_number);
}

void set_running_child_group(pid_t group) { running_child_group = group; }

}  // namespace quillmere
