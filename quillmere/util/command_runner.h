// Running git and cp: each command is started directly from its argument
// vector (no shell ever reads a value), with its output captured, and shown
// in the log as the command line it stands for.
#pragma once

#include <cstddef>
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

  /// Marks a command that only reads (a fetch, a look-up): nothing it does
  /// needs finishing, so a stop request ends it at once, or keeps it from
  /// starting.
  CommandLine& read_only() {
    read_only_ = true;
    return *this;
  }

  const std::vector<std::string>& argv() const { return argv_; }
  const std::string& text() const { return text_; }
  bool is_read_only() const { return read_only_; }

 private:
  void append(std::string_view value, std::string shown);

  std::vector<std::string> argv_;
  std::string text_;
  bool read_only_ = false;
};

/// The most of each stream of a command that is kept: its last 64 KiB, where
/// git puts its verdict. A hook that prints without end costs no more.
inline constexpr std::size_t kKeptOutputBytes = std::size_t{64} * 1024;

/// What one command left behind. Line endings are normalised to "\n".
struct CommandResult {
  int exit_status = -1;       ///< exit status, or -1 when ended by a signal or never started
  int signal = 0;             ///< the terminating signal, 0 when it exited
  std::string out;            ///< standard output (its end, see run_program)
  std::string err;            ///< the end of standard error, at most kKeptOutputBytes
  std::size_t out_bytes = 0;  ///< how much the command wrote to standard output
  std::size_t err_bytes = 0;  ///< and to standard error
  std::string start_error;    ///< why the program could not be started; empty when it ran
  bool timed_out = false;     ///< ended by the command deadline (its group was terminated)
  bool stopped = false;       ///< a read-only command ended (or not started) by a stop request

  bool succeeded() const {
    return start_error.empty() && !timed_out && !stopped && signal == 0 && exit_status == 0;
  }
};

/// What every child is started with, decided once by the settings: its
/// environment ("NAME=value" entries, the secrets left out) and the longest
/// it may run before its process group is terminated (SIGTERM, then SIGKILL
/// once its process has ended or 5 seconds later).
struct ChildSetup {
  std::vector<std::string> environment;
  long long timeout_seconds = 600;
};

/// What a command said, for one record: the end of its standard error, or of
/// its standard output when standard error is empty, cut to the last
/// kExcerptCharacters characters followed by " … (N bytes)" (tail_excerpt).
/// The line feed that ends the output stays at the end. Not yet escaped.
std::string output_excerpt(const CommandResult& result);

/// Why a command did not succeed, for one record: the reason it could not
/// start, timed_out_text() of the children's time-out, "stopped by SIGTERM"
/// (the stop signal's name), or else output_excerpt(). Not yet escaped.
std::string failure_reason(const CommandResult& result, const ChildSetup& children);

/// "timed out after N seconds": the error text of a command past its deadline.
std::string timed_out_text(long long seconds);

/// Runs the command in the current directory, capturing both streams, and
/// reports what happened: neither a failing command nor a program that cannot
/// be started is an error here. The child runs in a process group of its own
/// (a Ctrl-C at the terminal reaches only quillmere, which decides), with the
/// environment and the deadline of `children`, and no descriptor but 0, 1
/// and 2.
/// Of each stream the last kKeptOutputBytes are kept; with `raw_output`,
/// standard output is kept whole and both streams byte for byte (no UTF-8
/// check, no line-ending change), for output that is file content rather
/// than text.
/// Standard input is /dev/null, so nothing a child waits to read (a
/// credential prompt, a pager) can hold the run; with `input`, the child
/// reads exactly those bytes instead.
/// The command is done when its process has exited and its pipes have been
/// read until they were quiet for a moment: a background job that keeps them
/// open does not hold the run. Past the command deadline, or at a stop
/// request for a read_only() command, the child's process group gets SIGTERM
/// and, once the process has exited or 5 seconds later, SIGKILL; the result
/// says `timed_out` or `stopped`.
CommandResult run_program(const CommandLine& command, const ChildSetup& children,
                          bool raw_output = false, const std::string* input = nullptr);

/// Runs the command; a non-zero exit or a signal is logged at ERROR and thrown
/// as OnboardingError "Command failed: CMD\nError: " and failure_reason()
/// (escaped for the log), a program that cannot be started as "Cannot start
/// PROGRAM: REASON". Returns the trimmed standard output when
/// `capture_output`, else "".
std::string run_command(const CommandLine& command, const ChildSetup& children,
                        bool capture_output = true);

/// A value as exactly one literal shell word: plain words (letters, digits and
/// -_./@+=:,%) unchanged, anything else in single quotes.
std::string shell_word(std::string_view value);

/// A value for use between double quotes: ", $, ` and \ are escaped.
std::string escape_for_double_quotes(std::string_view value);

}  // namespace quillmere
