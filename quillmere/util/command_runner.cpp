#include "quillmere/util/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "quillmere/util/error.h"
#include "quillmere/util/file_descriptor.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/output_tail.h"
#include "quillmere/util/stop_signals.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

using Fd = FileDescriptor;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long a command past its deadline, or stopped, has to end after SIGTERM.
constexpr Clock::duration kKillGrace = 5s;
// Once the command's process has exited, its pipes are read on until they
// were quiet this long, and no longer than kLastOutput: what a background
// job keeps open must not hold the run.
constexpr Clock::duration kQuietMoment = 100ms;
constexpr Clock::duration kLastOutput = 1s;
// Where the kernel offers no pidfd, how often the child is looked at.
constexpr Clock::duration kExitCheckInterval = 50ms;

struct Pipe {
  Fd read_end;
  Fd write_end;
};

// A failure of our own plumbing (pipes, reading, waiting), not of the command.
[[noreturn]] void fail_plumbing(const std::string& shown, const char* what, int error) {
  throw OnboardingError("Could not run: " + printable(shown) + "\nReason: " + what + ": " +
                        std::strerror(error));
}

Pipe make_pipe(const std::string& shown) {
  int ends[2];
  // Close-on-exec, so the child keeps only the copies placed on fds 1 and 2.
  if (::pipe2(ends, O_CLOEXEC) != 0) fail_plumbing(shown, "pipe", errno);
  return Pipe{Fd(ends[0]), Fd(ends[1])};
}

// Spawn attributes and file actions, destroyed on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    ::posix_spawnattr_init(&attr_);
    ::posix_spawn_file_actions_init(&actions_);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawnattr_t* attr() { return &attr_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
};

// A started child, the leader of its own process group, always reaped: one
// nobody waited for (an exception while reading) has its group killed first,
// so nothing is left running unattended. Until it is reaped its id cannot be
// reused, so signalling the group never reaches a stranger.
class Child {
 public:
  explicit Child(pid_t pid)
      : pid_(pid), exit_fd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {
    set_running_child_group(pid);
  }
  ~Child() {
    if (pid_ <= 0) return;
    signal_group(SIGKILL);
    (void)wait();
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void signal_group(int signal_number) const { ::kill(-pid_, signal_number); }

  // True once the process has exited; it is left to be reaped by wait().
  bool has_exited() const {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid != 0;
  }

  // Readable once the process has exited; -1 where the kernel has no pidfds.
  int exit_fd() const { return exit_fd_.get(); }

  // The raw wait status; -1 when waitpid itself failed.
  int wait() {
    set_running_child_group(0);
    int status = 0;
    pid_t reaped;
    do {
      reaped = ::waitpid(pid_, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    pid_ = -1;
    return reaped < 0 ? -1 : status;
  }

 private:
  pid_t pid_;
  Fd exit_fd_;
};

// Starts the command, or returns the error number posix_spawnp reported
// (glibc reports a program that cannot be executed here, not in the child).
int spawn(const CommandLine& command, const std::vector<std::string>& environment, const Pipe* in,
          const Pipe& out, const Pipe& err, pid_t& pid) {
  SpawnSetup setup;
  // The child gets default signal handling for SIGPIPE (a parent that ignores
  // it must not change how commands writing into closed pipes behave) and for
  // the stop signals quillmere catches, an empty signal mask, and a process
  // group of its own.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal_number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, signal_number);
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  ::posix_spawnattr_setsigdefault(setup.attr(), &defaults);
  ::posix_spawnattr_setsigmask(setup.attr(), &empty_mask);
  ::posix_spawnattr_setpgroup(setup.attr(), 0);
  ::posix_spawnattr_setflags(
      setup.attr(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
  if (in)
    ::posix_spawn_file_actions_adddup2(setup.actions(), in->read_end.get(), STDIN_FILENO);
  else
    ::posix_spawn_file_actions_addopen(setup.actions(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(setup.actions(), out.write_end.get(), STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(setup.actions(), err.write_end.get(), STDERR_FILENO);
  // Whatever else is open here (the log file, libcurl's sockets, the run
  // lock, descriptors quillmere was started with) is none of the child's.
  ::posix_spawn_file_actions_addclosefrom_np(setup.actions(), STDERR_FILENO + 1);

  std::vector<std::string> args = command.argv();
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> entries = environment;
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  return ::posix_spawnp(&pid, argv.front(), setup.actions(), setup.attr(), argv.data(),
                        envp.data());
}

// A write into a pipe whose reader is gone fails with EPIPE instead of
// raising SIGPIPE, whatever the process's own handling of that signal.
ssize_t write_without_sigpipe(int fd, std::string_view data) {
  sigset_t pipe_only, previous;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
  const ssize_t n = ::write(fd, data.data(), data.size());
  const int error = errno;
  if (n < 0 && error == EPIPE) {
    const timespec no_wait{0, 0};
    while (::sigtimedwait(&pipe_only, nullptr, &no_wait) == SIGPIPE) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return n;
}

// The stop signals held back while a command is watched, and let in only
// during the wait (ppoll): one that arrives just before the wait still ends
// it, so a stop request never waits out a command it may end.
class StopSignalsHeldBack {
 public:
  StopSignalsHeldBack() {
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signal_number);
    ::pthread_sigmask(SIG_BLOCK, &stops, &while_waiting_);
  }
  ~StopSignalsHeldBack() { ::pthread_sigmask(SIG_SETMASK, &while_waiting_, nullptr); }
  StopSignalsHeldBack(const StopSignalsHeldBack&) = delete;
  StopSignalsHeldBack& operator=(const StopSignalsHeldBack&) = delete;

  const sigset_t* while_waiting() const { return &while_waiting_; }

 private:
  sigset_t while_waiting_;
};

// The time from now until `until`, as ppoll takes it (0 when past).
timespec time_until(Clock::time_point until) {
  const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now());
  const long long nanoseconds = std::max<long long>(left.count(), 0);
  return timespec{static_cast<time_t>(nanoseconds / 1000000000),
                  static_cast<long>(nanoseconds % 1000000000)};
}

// The child's pipes, seen from here.
struct Streams {
  Fd in;
  std::string_view input;  // still to be written
  Fd out;
  Fd err;
  OutputTail out_kept;
  OutputTail err_kept;
};

enum class Ending { Exited, TimedOut, Stopped };

// Writes the input into the child while reading both output pipes. Polling
// them together means a child that fills one pipe while we wait on another
// cannot deadlock. Ends once the process has exited and its pipes are closed
// or were quiet for a moment. Past `deadline` (or at a stop request, for a
// read-only command) the group gets SIGTERM, and SIGKILL when the process
// has exited or after the grace period, whether or not the pipes are closed.
Ending watch(const std::string& shown, Child& child, Clock::time_point deadline, bool ends_at_stop,
             Streams& streams) {
  std::array<Fd*, 2> fds = {&streams.out, &streams.err};
  std::array<OutputTail*, 2> sinks = {&streams.out_kept, &streams.err_kept};
  char buffer[65536];
  const StopSignalsHeldBack held_back;
  Ending ending = Ending::Exited;
  std::optional<Clock::time_point> kill_at;  // set once the group got SIGTERM
  std::optional<Clock::time_point> exited_at;
  Clock::time_point last_output = Clock::now();
  if (streams.in.is_open() && streams.input.empty()) streams.in.reset();
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (!exited_at && child.has_exited()) exited_at = now;
    if (exited_at && kill_at) {
      // Told to end and ended: whatever is left of its group goes with it.
      child.signal_group(SIGKILL);
      break;
    }
    if (exited_at) {
      const bool quiet = now - std::max(*exited_at, last_output) >= kQuietMoment;
      if ((!streams.out.is_open() && !streams.err.is_open()) || quiet ||
          now - *exited_at >= kLastOutput)
        break;
    } else if (kill_at && now >= *kill_at) {
      child.signal_group(SIGKILL);
      break;
    } else if (!kill_at && (now >= deadline || (ends_at_stop && stop_signal() != 0))) {
      ending = now >= deadline ? Ending::TimedOut : Ending::Stopped;
      child.signal_group(SIGTERM);
      streams.in.reset();
      kill_at = now + kKillGrace;
    }

    Clock::time_point wake = kill_at ? *kill_at : deadline;
    if (exited_at)
      wake = std::min(
          {wake, std::max(*exited_at, last_output) + kQuietMoment, *exited_at + kLastOutput});
    else if (child.exit_fd() < 0)
      wake = std::min(wake, now + kExitCheckInterval);
    std::array<pollfd, 4> polled{};
    for (size_t i = 0; i < 2; ++i) polled[i] = {fds[i]->get(), POLLIN, 0};  // -1 is skipped
    polled[2] = {streams.in.get(), POLLOUT, 0};
    polled[3] = {exited_at ? -1 : child.exit_fd(), POLLIN, 0};
    const timespec timeout = time_until(wake);
    if (::ppoll(polled.data(), polled.size(), &timeout, held_back.while_waiting()) < 0) {
      if (errno == EINTR) continue;
      fail_plumbing(shown, "poll", errno);
    }
    for (size_t i = 0; i < 2; ++i) {
      if (!fds[i]->is_open() || polled[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i]->get(), buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(std::string_view(buffer, static_cast<size_t>(n)));
        last_output = Clock::now();
      } else if (n == 0) {
        fds[i]->reset();
      } else if (errno != EINTR && errno != EAGAIN) {
        fail_plumbing(shown, "read", errno);
      }
    }
    Fd& in_fd = streams.in;
    if (in_fd.is_open() && polled[2].revents != 0) {
      // A child that stops reading (it closed its input, or ended) gets no more.
      if ((polled[2].revents & (POLLERR | POLLHUP)) != 0) {
        in_fd.reset();
        continue;
      }
      const ssize_t n = write_without_sigpipe(in_fd.get(), streams.input);
      if (n > 0) {
        streams.input.remove_prefix(static_cast<size_t>(n));
        if (streams.input.empty()) in_fd.reset();
      } else if (n < 0 && errno == EPIPE) {
        in_fd.reset();
      } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
        fail_plumbing(shown, "write", errno);
      }
    }
  }
  return ending;
}

bool is_plain_word_char(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::strchr("-_./@+=:,%", c) != nullptr && c != '\0';
}

// A command's standard error as the log shows it: one record, so control
// characters and inner line feeds become escapes; the line feed that ends
// the output stays, as the documented failure text has it.
std::string printable_output(std::string_view text) {
  const bool ends_line = !text.empty() && text.back() == '\n';
  if (ends_line) text.remove_suffix(1);
  return printable(text) + (ends_line ? "\n" : "");
}

}  // namespace

CommandLine::CommandLine(std::string_view program, std::initializer_list<std::string_view> words) {
  append(program, std::string(program));
  for (std::string_view word : words) append(word, std::string(word));
}

CommandLine& CommandLine::arg(std::string_view value) {
  append(value, shell_word(value));
  return *this;
}

CommandLine& CommandLine::quoted_arg(std::string_view value) {
  append(value, "\"" + escape_for_double_quotes(value) + "\"");
  return *this;
}

void CommandLine::append(std::string_view value, std::string shown) {
  argv_.emplace_back(value);
  if (!text_.empty()) text_.push_back(' ');
  text_ += shown;
}

CommandResult run_program(const CommandLine& command, const ChildSetup& children, bool raw_output,
                          const std::string* input) {
  const std::string& shown = command.text();
  CommandResult result;
  if (command.is_read_only() && stop_signal() != 0) {
    result.stopped = true;
    return result;
  }
  std::optional<Pipe> in;
  if (input) in = make_pipe(shown);
  Pipe out = make_pipe(shown);
  Pipe err = make_pipe(shown);
  pid_t pid = -1;
  if (const int error = spawn(command, children.environment, in ? &*in : nullptr, out, err, pid);
      error != 0) {
    result.start_error = std::strerror(error);
    return result;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(children.timeout_seconds);
  Child child(pid);
  // Our copies of the child's ends must go, or the reads would never see EOF.
  out.write_end.reset();
  err.write_end.reset();
  // Declared after the child so that, should reading fail, the read ends are
  // closed before the child is waited for: it then cannot block on a full pipe.
  Streams streams{Fd(),
                  input ? std::string_view(*input) : std::string_view(),
                  std::move(out.read_end),
                  std::move(err.read_end),
                  OutputTail(raw_output ? std::string::npos : kKeptOutputBytes),
                  OutputTail(kKeptOutputBytes)};
  if (in) {
    in->read_end.reset();
    streams.in = std::move(in->write_end);
    // Written only when poll says there is room, never blocking on a child
    // that stopped reading.
    ::fcntl(streams.in.get(), F_SETFL, ::fcntl(streams.in.get(), F_GETFL) | O_NONBLOCK);
  }

  const Ending ending = watch(shown, child, deadline, command.is_read_only(), streams);
  result.timed_out = ending == Ending::TimedOut;
  result.stopped = ending == Ending::Stopped;
  streams.out.reset();
  streams.err.reset();
  result.out_bytes = streams.out_kept.total_bytes();
  result.err_bytes = streams.err_kept.total_bytes();
  result.out = streams.out_kept.take();
  result.err = streams.err_kept.take();
  const int status = child.wait();
  if (status < 0) fail_plumbing(shown, "waitpid", errno);
  if (WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }

  if (raw_output) return result;
  // Output is text: a command printing something that is not UTF-8 is
  // reported instead of being passed on half-decoded.
  if (!is_valid_utf8(result.out) || !is_valid_utf8(result.err))
    throw OnboardingError("Output of command is not valid UTF-8 text: " + printable(shown));
  result.out = normalise_line_endings(result.out);
  result.err = normalise_line_endings(result.err);
  return result;
}

std::string output_excerpt(const CommandResult& result) {
  const bool from_err = !result.err.empty();
  std::string_view text = from_err ? result.err : result.out;
  const bool ends_line = !text.empty() && text.back() == '\n';
  if (ends_line) text.remove_suffix(1);
  return tail_excerpt(text, from_err ? result.err_bytes : result.out_bytes) +
         (ends_line ? "\n" : "");
}

std::string failure_reason(const CommandResult& result, const ChildSetup& children) {
  if (!result.start_error.empty()) return result.start_error;
  if (result.timed_out) return timed_out_text(children.timeout_seconds);
  if (result.stopped) return "stopped by " + stop_signal_name(stop_signal());
  return output_excerpt(result);
}

std::string run_command(const CommandLine& command, const ChildSetup& children,
                        bool capture_output) {
  const std::string shown = printable(command.text());
  logger().debug("Executing: " + shown);
  const CommandResult result = run_program(command, children);
  if (!result.start_error.empty()) {
    const std::string message = "Cannot start " + printable(command.argv().front()) + ": " +
                                result.start_error + " (command: " + shown + ")";
    logger().error(message);
    throw OnboardingError(message);
  }
  if (!result.succeeded()) {
    const std::string message = "Command failed: " + shown +
                                "\nError: " + printable_output(failure_reason(result, children));
    logger().error(message);
    throw OnboardingError(message);
  }
  return capture_output ? trim(result.out) : std::string();
}

std::string timed_out_text(long long seconds) {
  return "timed out after " + std::to_string(seconds) + " seconds";
}

std::string shell_word(std::string_view value) {
  bool plain = !value.empty();
  for (char c : value) plain = plain && is_plain_word_char(c);
  if (plain) return std::string(value);

  // Inside single quotes nothing is special; a quote itself ends the quoted
  // part, is added escaped, and a new quoted part begins.
  std::string word = "'";
  for (char c : value) {
    if (c == '\'')
      word += "'\\''";
    else
      word.push_back(c);
  }
  word.push_back('\'');
  return word;
}

std::string escape_for_double_quotes(std::string_view value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (char c : value) {
    if (c == '"' || c == '$' || c == '`' || c == '\\') escaped.push_back('\\');
    escaped.push_back(c);
  }
  return escaped;
}

}  // namespace quillmere
