#include "quillmere/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "quillmere/logging.h"
#include "quillmere/text.h"
#include "quillmere/types.h"

extern char** environ;

namespace quillmere {

namespace {

// A file descriptor that is closed exactly once, whatever path leaves the scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read_end;
  Fd write_end;
};

[[noreturn]] void fail_to_start(const std::string& cmd, const char* what, int error) {
  throw OnboardingError("Could not start /bin/sh for: " + cmd + "\nReason: " + what + ": " +
                        std::strerror(error));
}

Pipe make_pipe(const std::string& cmd) {
  int ends[2];
  // Close-on-exec, so the child keeps only the copies placed on fds 1 and 2.
  if (::pipe2(ends, O_CLOEXEC) != 0) fail_to_start(cmd, "pipe", errno);
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

Child spawn_shell(const std::string& cmd, const Pipe& out, const Pipe& err) {
  SpawnSetup setup;
  // The child gets default signal handling for SIGPIPE (a parent that ignores
  // it must not change how commands writing into closed pipes behave) and an
  // empty signal mask.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  ::posix_spawnattr_setsigdefault(setup.attr(), &defaults);
  ::posix_spawnattr_setsigmask(setup.attr(), &empty_mask);
  ::posix_spawnattr_setflags(setup.attr(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  ::posix_spawn_file_actions_adddup2(setup.actions(), out.write_end.get(), STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(setup.actions(), err.write_end.get(), STDERR_FILENO);

  std::string shell = "/bin/sh";
  std::string option = "-c";
  std::string command = cmd;
  std::array<char*, 4> argv = {shell.data(), option.data(), command.data(), nullptr};
  pid_t pid = -1;
  const int rc =
      ::posix_spawn(&pid, shell.c_str(), setup.actions(), setup.attr(), argv.data(), environ);
  if (rc != 0) fail_to_start(cmd, "posix_spawn", rc);
  return Child(pid);
}

// Reads both pipes until both reach end of file. Polling them together means
// a child that fills one pipe while we wait on the other cannot deadlock.
void drain(const std::string& cmd, Fd& out_fd, Fd& err_fd, std::string& out, std::string& err) {
  std::array<Fd*, 2> fds = {&out_fd, &err_fd};
  std::array<std::string*, 2> sinks = {&out, &err};
  char buffer[65536];
  while (out_fd.is_open() || err_fd.is_open()) {
    std::array<pollfd, 2> polled{};
    for (size_t i = 0; i < 2; ++i) polled[i] = {fds[i]->get(), POLLIN, 0};  // -1 is skipped
    if (::poll(polled.data(), polled.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw OnboardingError("Could not read the output of: " + cmd +
                            "\nReason: poll: " + std::strerror(errno));
    }
    for (size_t i = 0; i < 2; ++i) {
      if (!fds[i]->is_open() || polled[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i]->get(), buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0) {
        fds[i]->reset();
      } else if (errno != EINTR && errno != EAGAIN) {
        throw OnboardingError("Could not read the output of: " + cmd +
                              "\nReason: read: " + std::strerror(errno));
      }
    }
  }
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length;
    unsigned min_second = 0x80, max_second = 0xBF;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) min_second = 0xA0;
      if (lead == 0xED) max_second = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) min_second = 0x90;
      if (lead == 0xF4) max_second = 0x8F;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto byte = static_cast<unsigned char>(text[i + k]);
      const unsigned low = k == 1 ? min_second : 0x80;
      const unsigned high = k == 1 ? max_second : 0xBF;
      if (byte < low || byte > high) return false;
    }
    i += length;
  }
  return true;
}

bool is_plain_word_char(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::strchr("-_./@+=:,%", c) != nullptr && c != '\0';
}

}  // namespace

CommandResult run_shell(const std::string& cmd) {
  Pipe out = make_pipe(cmd);
  Pipe err = make_pipe(cmd);
  Child child = spawn_shell(cmd, out, err);
  // Our copies of the write ends must go, or the reads would never see EOF.
  out.write_end.reset();
  err.write_end.reset();
  // Declared after the child so that, should reading fail, the read ends are
  // closed before the child is waited for: it then cannot block on a full pipe.
  Fd out_read = std::move(out.read_end);
  Fd err_read = std::move(err.read_end);

  CommandResult result;
  drain(cmd, out_read, err_read, result.out, result.err);
  const int status = child.wait();
  if (status < 0) throw OnboardingError("Could not wait for: " + cmd + ": " + std::strerror(errno));
  if (WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }

  // Output is text: a command printing something that is not UTF-8 is
  // reported instead of being passed on half-decoded.
  if (!is_valid_utf8(result.out) || !is_valid_utf8(result.err))
    throw OnboardingError("Output of command is not valid UTF-8 text: " + cmd);
  result.out = normalise_line_endings(result.out);
  result.err = normalise_line_endings(result.err);
  return result;
}

std::string run_command(const std::string& cmd, bool capture_output) {
  logger().debug("Executing: " + cmd);
  const CommandResult result = run_shell(cmd);
  if (!result.succeeded()) {
    const std::string message = "Command failed: " + cmd + "\nError: " + result.err;
    logger().error(message);
    throw OnboardingError(message);
  }
  return capture_output ? trim(result.out) : std::string();
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
