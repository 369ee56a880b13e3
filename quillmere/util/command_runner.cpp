#include "quillmere/util/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
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
#include "quillmere/util/stop_signals.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

using Fd = FileDescriptor;
using Clock = std::chrono::steady_clock;

// How long a command past its deadline has to end after SIGTERM.
constexpr std::chrono::seconds kKillGrace{5};

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

// A started child that is always reaped: the destructor waits for it when
// nobody has, so an exception while reading never leaves a zombie.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() {
    if (pid_ > 0) (void)wait();
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The raw wait status; -1 when waitpid itself failed.
  int wait() {
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

// Milliseconds from now until `deadline`, as poll takes them (0 when past).
int milliseconds_until(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1000LL * 1000 * 1000));
}

// Writes `input` into the child's standard input while reading both output
// pipes until both reach end of file. Polling them together means a child
// that fills one pipe while we wait on another cannot deadlock. Past
// `deadline` the child's group gets SIGTERM, and SIGKILL after the grace
// period; reading stops once the group was killed, whatever still holds the
// pipes. True when the deadline was reached.
bool drain(const std::string& shown, pid_t group, Clock::time_point deadline, Fd& in_fd,
           std::string_view input, Fd& out_fd, Fd& err_fd, std::string& out, std::string& err) {
  std::array<Fd*, 2> fds = {&out_fd, &err_fd};
  std::array<std::string*, 2> sinks = {&out, &err};
  char buffer[65536];
  int signals_sent = 0;  // 1 after SIGTERM, 2 after SIGKILL
  if (in_fd.is_open() && input.empty()) in_fd.reset();
  while (out_fd.is_open() || err_fd.is_open() || in_fd.is_open()) {
    if (milliseconds_until(deadline) == 0) {
      if (signals_sent == 2) break;
      ::kill(-group, signals_sent == 0 ? SIGTERM : SIGKILL);
      ++signals_sent;
      in_fd.reset();
      deadline = Clock::now() + kKillGrace;
      continue;
    }
    std::array<pollfd, 3> polled{};
    for (size_t i = 0; i < 2; ++i) polled[i] = {fds[i]->get(), POLLIN, 0};  // -1 is skipped
    polled[2] = {in_fd.get(), POLLOUT, 0};
    const int ready = ::poll(polled.data(), polled.size(), milliseconds_until(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      fail_plumbing(shown, "poll", errno);
    }
    for (size_t i = 0; i < 2; ++i) {
      if (!fds[i]->is_open() || polled[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i]->get(), buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0) {
        fds[i]->reset();
      } else if (errno != EINTR && errno != EAGAIN) {
        fail_plumbing(shown, "read", errno);
      }
    }
    if (in_fd.is_open() && polled[2].revents != 0) {
      // A child that stops reading (it closed its input, or ended) gets no more.
      if ((polled[2].revents & (POLLERR | POLLHUP)) != 0) {
        in_fd.reset();
        continue;
      }
      const ssize_t n = write_without_sigpipe(in_fd.get(), input);
      if (n > 0) {
        input.remove_prefix(static_cast<size_t>(n));
        if (input.empty()) in_fd.reset();
      } else if (n < 0 && errno == EPIPE) {
        in_fd.reset();
      } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
        fail_plumbing(shown, "write", errno);
      }
    }
  }
  return signals_sent > 0;
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
  std::optional<Pipe> in;
  if (input) in = make_pipe(shown);
  Pipe out = make_pipe(shown);
  Pipe err = make_pipe(shown);
  CommandResult result;
  pid_t pid = -1;
  if (const int error = spawn(command, children.environment, in ? &*in : nullptr, out, err, pid);
      error != 0) {
    result.start_error = std::strerror(error);
    return result;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(children.timeout_seconds);
  Child child(pid);
  set_running_child_group(pid);
  // Our copies of the child's ends must go, or the reads would never see EOF.
  out.write_end.reset();
  err.write_end.reset();
  Fd in_write;
  if (in) {
    in->read_end.reset();
    in_write = std::move(in->write_end);
    // Written only when poll says there is room, never blocking on a child
    // that stopped reading.
    ::fcntl(in_write.get(), F_SETFL, ::fcntl(in_write.get(), F_GETFL) | O_NONBLOCK);
  }
  // Declared after the child so that, should reading fail, the read ends are
  // closed before the child is waited for: it then cannot block on a full pipe.
  Fd out_read = std::move(out.read_end);
  Fd err_read = std::move(err.read_end);

  result.timed_out = drain(shown, pid, deadline, in_write, input ? *input : std::string_view(),
                           out_read, err_read, result.out, result.err);
  out_read.reset();
  err_read.reset();
  const int status = child.wait();
  set_running_child_group(0);
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
    const std::string error_text =
        result.timed_out ? timed_out_text(children.timeout_seconds) : printable_output(result.err);
    const std::string message = "Command failed: " + shown + "\nError: " + error_text;
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
