// SIGTERM, SIGINT and SIGHUP as requests to stop at a safe point: no new file
// is started, the file in progress is finished (or rolled back before its
// push). A second signal ends the process at once.
#pragma once

#include <sys/types.h>
#include <string>

namespace quillmere {

/// Installs the handlers; call once at start-up.
void install_stop_handlers();

/// The first stop signal received, 0 when none.
int stop_signal();

/// "SIGTERM", "SIGINT", "SIGHUP" (or "signal N").
std::string stop_signal_name(int signal_number);

/// The process group of the command running now (0 when none): a second
/// signal ends it along with quillmere, so no git runs on unattended.
void set_running_child_group(pid_t group);

}  // namespace quillmere
