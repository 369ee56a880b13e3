// Shell command lines: running them, and building them from values safely.
#pragma once

#include <string>
#include <string_view>

namespace quillmere {

/// What one shell command left behind. Line endings are normalised to "\n".
struct CommandResult {
  int exit_status = -1;  ///< exit status, or -1 when ended by a signal
  int signal = 0;        ///< the terminating signal, 0 when it exited
  std::string out;       ///< standard output
  std::string err;       ///< standard error

  bool succeeded() const { return signal == 0 && exit_status == 0; }
};

/// Runs `cmd` with /bin/sh -c in the current directory, capturing both
/// streams, and reports what happened; a failing command is not an error here.
CommandResult run_shell(const std::string& cmd);

/// Runs `cmd` through the shell; a non-zero exit or a signal is logged at
/// ERROR and thrown as OnboardingError "Command failed: CMD\nError: STDERR".
/// Returns the trimmed standard output when `capture_output`, else "".
std::string run_command(const std::string& cmd, bool capture_output = true);

/// A value as exactly one literal shell word: plain words (letters, digits and
/// -_./@+=:,%) unchanged, anything else in single quotes.
std::string shell_word(std::string_view value);

/// A value for use between double quotes: ", $, ` and \ are escaped.
std::string escape_for_double_quotes(std::string_view value);

}  // namespace quillmere
