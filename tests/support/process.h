// Running programs from tests: the real binary, git, helper scripts.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quillmere/util/file_descriptor.h"
#include "quillmere/util/logging.h"

namespace quillmere::testing {

struct ProcessResult {
  int exit_status = -1;  ///< -1 when killed by a signal
  std::string out;
  std::string err;
};

/// Environment for a child: exactly these variables (PATH and HOME are added
/// from the test's own environment unless given).
using Environment = std::map<std::string, std::string>;

/// Runs `argv` in `cwd` with `env`, waits, and captures both streams.
/// Gives up (kills the child) after `timeout_seconds`.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd,
                          const Environment& env, int timeout_seconds = 120);

/// A program started in the background in a process group of its own (the
/// group id is its pid), so that a test can signal it, or its whole group,
/// the way a terminal or a service manager does. Both streams go to unnamed
/// in-memory files, so a chatty child never blocks on a full pipe. Whatever
/// still runs when the object goes is killed with its group and reaped.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv, const std::string& cwd,
                    const Environment& env);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  pid_t pid() const { return pid_; }
  /// Sends `signal_number` to the process alone.
  void signal(int signal_number) const;
  /// Sends `signal_number` to every process of its group.
  void signal_group(int signal_number) const;
  /// True once the process has ended; never blocks.
  bool finished();
  /// Waits at most `timeout` for the end and returns what it wrote; on time
  /// out the group is killed and the test fails.
  ProcessResult wait(std::chrono::milliseconds timeout);

 private:
  void kill_and_reap();

  std::string name_;
  pid_t pid_ = -1;
  std::optional<int> status_;  ///< the raw wait status, once reaped
  FileDescriptor out_;
  FileDescriptor err_;
};

/// Polls `condition` every 20 ms until it holds or `timeout` has passed;
/// returns its last value.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

/// Runs a /bin/sh command line in `cwd` with the test's own environment and
/// returns its trimmed standard output; fails the test on a non-zero exit.
std::string sh(const std::string& command_line, const std::string& cwd = ".");

/// Puts into `bin_dir` a git that appends each command line it is given
/// ("ARGS") to `log_path` and runs the real git; put `bin_dir` first on PATH.
void write_recording_git(const std::string& bin_dir, const std::string& log_path);

/// Path of the quillmere binary under test.
inline std::string quillmere_binary() {
#ifdef QUILLMERE_BINARY
  return QUILLMERE_BINARY;
#else
  return "quillmere";
#endif
}

/// The program's log text as "LEVEL - message" records: the time stamp and
/// logger name are checked and removed, and a message with line feeds is
/// joined back from its physical lines. A line that fits no record is kept
/// as "<stray> LINE", so it shows up in a comparison.
std::vector<std::string> log_records(const std::string& text);

/// Records the logger's messages for the life of the object.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<LogRecord>& records() const { return records_; }
  /// Every record as "LEVEL - message".
  std::vector<std::string> lines() const;
  /// True when some record is exactly `message` at `level`.
  bool contains(LogLevel level, const std::string& message) const;
  void clear() { records_.clear(); }

 private:
  std::vector<LogRecord> records_;
};

/// Sets (or, with nullopt, unsets) environment variables and restores them.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  void set(const std::string& name, const std::optional<std::string>& value);

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

/// Changes the current directory and changes it back.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir);
  ~ScopedCwd();
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

 private:
  std::string previous_;
};

}  // namespace quillmere::testing
