#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "quillmere/util/text.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace quillmere::testing {

namespace {

// The argument and environment vectors of a child:
// PATH and HOME are added from the test's own environment unless given.
class ChildVectors {
 public:
  ChildVectors(const std::vector<std::string>& argv, const Environment& env) : argv_(argv) {
    Environment full_env = env;
    for (const char* inherited : {"PATH", "HOME"}) {
      const char* value = std::getenv(inherited);
      if (value && !full_env.count(inherited)) full_env[inherited] = value;
    }
    for (const auto& [name, value] : full_env) env_strings_.push_back(name + "=" + value);
    for (auto& entry : env_strings_) envp_.push_back(entry.data());
    envp_.push_back(nullptr);
    for (auto& arg : argv_) args_.push_back(arg.data());
    args_.push_back(nullptr);
  }

  // Starts the child in `cwd` with standard input from /dev/null and its
  // output into `out` and `err`; in a process group of its own when
  // `own_group`. posix_spawn rather than fork: a fork copies the page tables
  // of this process, which AddressSanitizer makes large, for every child.
  pid_t spawn(const std::string& cwd, int out, int err, bool own_group) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
    ::posix_spawn_file_actions_adddup2(&actions, out, 1);
    ::posix_spawn_file_actions_adddup2(&actions, err, 2);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    if (own_group) {
      ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
      ::posix_spawnattr_setpgroup(&attributes, 0);
    }
    pid_t pid = 0;
    const int error =
        ::posix_spawn(&pid, args_[0], &actions, &attributes, args_.data(), envp_.data());
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    if (error != 0)
      throw std::runtime_error("cannot start " + argv_[0] + " in " + cwd + ": " +
                               std::strerror(error));
    return pid;
  }

 private:
  std::vector<std::string> argv_;
  std::vector<std::string> env_strings_;
  std::vector<char*> envp_, args_;
};

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd,
                          const Environment& env, int timeout_seconds) {
  ChildVectors vectors(argv, env);
  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  pid_t pid = 0;
  try {
    pid = vectors.spawn(cwd, out_pipe[1], err_pipe[1], false);
  } catch (...) {
    for (const int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) ::close(fd);
    throw;
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);

  ProcessResult result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_streams = 2;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  bool killed = false;
  while (open_streams > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[65536];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_streams;
      }
    }
  }
  for (auto& fd : fds)
    if (fd.fd >= 0) ::close(fd.fd);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (killed) ADD_FAILURE() << "process timed out: " << argv[0];
  return result;
}

namespace {

// The whole content of an in-memory file written by a child.
std::string read_all(int fd) {
  std::string text;
  char buffer[65536];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
}

}  // namespace

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const std::string& cwd,
                                     const Environment& env)
    : name_(argv.at(0)),
      out_(::memfd_create("stdout", MFD_CLOEXEC)),
      err_(::memfd_create("stderr", MFD_CLOEXEC)) {
  if (!out_.is_open() || !err_.is_open()) throw std::runtime_error("memfd_create failed");
  ChildVectors vectors(argv, env);
  pid_ = vectors.spawn(cwd, out_.get(), err_.get(), true);
}

BackgroundProcess::~BackgroundProcess() {
  if (!status_) kill_and_reap();
}

void BackgroundProcess::kill_and_reap() {
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  status_ = status;
}

void BackgroundProcess::signal(int signal_number) const { ::kill(pid_, signal_number); }

void BackgroundProcess::signal_group(int signal_number) const { ::kill(-pid_, signal_number); }

bool BackgroundProcess::finished() {
  if (status_) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
  return status_.has_value();
}

ProcessResult BackgroundProcess::wait(std::chrono::milliseconds timeout) {
  if (!wait_until([this] { return finished(); }, timeout)) {
    ADD_FAILURE() << "process timed out: " << name_;
    kill_and_reap();
  }
  ProcessResult result;
  if (WIFEXITED(*status_)) result.exit_status = WEXITSTATUS(*status_);
  result.out = read_all(out_.get());
  result.err = read_all(err_.get());
  return result;
}

bool process_gone(const std::string& pid) {
  const std::string stat = "/proc/" + pid + "/stat";
  return !file_exists(stat) || read_file(stat).find(") Z ") != std::string::npos;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    ::usleep(20000);
  }
  return true;
}

std::string sh(const std::string& command_line, const std::string& cwd) {
  Environment env;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const auto equals = text.find('=');
    if (equals != std::string::npos) env[text.substr(0, equals)] = text.substr(equals + 1);
  }
  const ProcessResult result = run_process({"/bin/sh", "-c", command_line}, cwd, env);
  EXPECT_EQ(result.exit_status, 0) << command_line << "\n" << result.err;
  return trim(result.out);
}

void write_recording_git(const std::string& bin_dir, const std::string& log_path) {
  make_dir(bin_dir);
  write_file(bin_dir + "/git", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + log_path + "'\nexec '" +
                                   sh("command -v git") + "' \"$@\"\n");
  sh("chmod +x '" + bin_dir + "/git'");
}

namespace {
// "YYYY-MM-DD HH:MM:SS" at the start of `line`.
bool starts_with_timestamp(std::string_view line) {
  static constexpr std::string_view kShape = "0000-00-00 00:00:00";
  if (line.size() < kShape.size()) return false;
  for (size_t i = 0; i < kShape.size(); ++i)
    if (kShape[i] == '0' ? !std::isdigit(static_cast<unsigned char>(line[i]))
                         : line[i] != kShape[i])
      return false;
  return true;
}
}  // namespace

std::vector<std::string> log_records(const std::string& text) {
  static constexpr std::string_view kName = " - quillmere.quillmere - ";
  constexpr size_t kStamp = 19;
  std::vector<std::string> records;
  std::string line;
  std::istringstream lines(text);
  while (std::getline(lines, line)) {
    if (starts_with_timestamp(line) && line.compare(kStamp, kName.size(), kName) == 0)
      records.push_back(line.substr(kStamp + kName.size()));
    else if (!records.empty())
      records.back() += "\n" + line;
    else
      records.push_back("<stray> " + line);
  }
  return records;
}

LogCapture::LogCapture() { logger().set_recorder(&records_); }
LogCapture::~LogCapture() { logger().set_recorder(nullptr); }

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> lines;
  for (const auto& record : records_)
    lines.push_back(std::string(log_level_name(record.level)) + " - " + record.message);
  return lines;
}

bool LogCapture::contains(LogLevel level, const std::string& message) const {
  for (const auto& record : records_)
    if (record.level == level && record.message == message) return true;
  return false;
}

ScopedEnv::~ScopedEnv() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->second)
      ::setenv(it->first.c_str(), it->second->c_str(), 1);
    else
      ::unsetenv(it->first.c_str());
  }
}

void ScopedEnv::set(const std::string& name, const std::optional<std::string>& value) {
  const char* old = std::getenv(name.c_str());
  saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  if (value)
    ::setenv(name.c_str(), value->c_str(), 1);
  else
    ::unsetenv(name.c_str());
}

ScopedCwd::ScopedCwd(const std::string& dir) {
  char buffer[4096];
  if (!::getcwd(buffer, sizeof buffer)) throw std::runtime_error("getcwd failed");
  previous_ = buffer;
  if (::chdir(dir.c_str()) != 0) throw std::runtime_error("cannot enter " + dir);
}

ScopedCwd::~ScopedCwd() { (void)::chdir(previous_.c_str()); }

}  // namespace quillmere::testing
