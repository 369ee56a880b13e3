// Running git and cp: each command is started directly from its argument
// vector (no shell ever reads a value), with its output captured, and shown
// in the log as the command line it stands for.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillmere {

/// One command: the argument vector it is started with, and the command line
/// the log shows for it. The shown text quotes a value the way a shell would
/// need it, so it reads as the documented command line; nothing parses it.
class CommandLine {
 public:
  /// `program` and `words` are literal words, shown as they are.
  CommandLine(std::string_view program, std::initializer_list<std::string_view> words = {});

  /// A value as one argument, shown as one shell word (quoted when needed).
  CommandLine& arg(std::string_view value);
  /// A value as one argument, shown between double quotes.
  CommandLine& quoted_arg(std::string_view value);

  const std::vector<std::string>& argv() const { return argv_; }
  const std::string& text() const { return text_; }

 private:
  void append(std::string_view value, std::string shown);

  std::vector<std::string> argv_;
  std::string text_;
};

/// What one command left behind. Line endings are normalised to "\n".
struct CommandResult {
  int exit_status = -1;     ///< exit status, or -1 when ended by a signal or never started
  int signal = 0;           ///< the terminating signal, 0 when it exited
  std::string out;          ///< standard output
  std::string err;          ///< standard error
  std::string start_error;  ///< why the program could not be started; empty when it ran
  bool timed_out = false;   ///< ended by the command deadline (its group was terminated)

  bool succeeded() const {
    return start_error.empty() && !timed_out && signal == 0 && exit_status == 0;
  }
};

/// What every child is started with, decided once by the settings: its
/// environment ("NAME=value" entries, the secrets left out) and the longest
/// it may run before its process group is terminated (SIGTERM, then SIGKILL
/// 5 seconds later).
struct ChildSetup {
  std::vector<std::string> environment;
  long long timeout_seconds = 600;
};

/// "timed out after N seconds": the error text of a command past its deadline.
std::string timed_out_text(long long seconds);

/// Runs the command in the current directory, capturing both streams, and
/// reports what happened: neither a failing command nor a program that cannot
/// be started is an error here. The child runs in a process group of its own
/// (a Ctrl-C at the terminal reaches only quillmere, which decides), with
/// the environment and the deadline of `children`.
/// With `raw_output`, both streams are kept byte for byte (no UTF-8 check, no
/// line-ending change), for output that is file content rather than text.
/// Standard input is /dev/null, so nothing a child waits to read (a
/// credential prompt, a pager) can hold the run; with `input`, the child
/// reads exactly those bytes instead. Past the command deadline the child's
/// process group is terminated and the result says `timed_out`.
CommandResult run_program(const CommandLine& command, const ChildSetup& children,
                          bool raw_output = false, const std::string* input = nullptr);

/// Runs the command; a non-zero exit or a signal is logged at ERROR and thrown
/// as OnboardingError "Command failed: CMD\nError: STDERR" (for a command past
/// its deadline the error text is timed_out_text()), a program that
/// cannot be started as "Cannot start PROGRAM: REASON". Returns the trimmed
/// standard output when `capture_output`, else "".
std::string run_command(const CommandLine& command, const ChildSetup& children,
                        bool capture_output = true);

/// A value as exactly one literal shell word: plain words (letters, digits and
/// -_./@+=:,%) unchanged, anything else in single quotes.
std::string shell_word(std::string_view value);

/// A value for use between double quotes: ", $, ` and \ are escaped.
std::string escape_for_double_quotes(std::string_view value);

}  // namespace quillmere
