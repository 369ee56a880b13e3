// quillmere-measure: runs one command and reports its wall time and memory.
//
// Usage:
//   quillmere-measure REPORT_FILE COMMAND [ARG...]
//
// Runs COMMAND with the caller's standard streams and environment, waits for
// it, and appends one line to REPORT_FILE:
//
//   wall_ms=W hwm_kb=H tree_kb=T cpu_ms=C status=S
//
//   W  wall-clock time from start to end, in milliseconds
//   H  the command's own peak resident set (VmHWM of /proc/PID/status), read
//      every millisecond while it runs; the last reading is the peak
//   T  the largest peak resident set of the command and of every descendant
//      it waited for (getrusage of the reaped child, ru_maxrss)
//   C  processor time (user and system) of the command and of every
//      descendant it waited for, in milliseconds: less disturbed than W when
//      other work shares the machine
//   S  the command's exit status (128+N when killed by signal N)
//
// Exits with the command's status, or 127 when it cannot be started.
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {

long read_hwm_kb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: quillmere-measure REPORT_FILE COMMAND [ARG...]\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child < 0) {
    std::perror("quillmere-measure: fork");
    return 127;
  }
  if (child == 0) {
    ::execvp(argv[2], argv + 2);
    std::perror("quillmere-measure: exec");
    ::_exit(127);
  }

  // VmHWM only grows, so the last reading before the process ends is its
  // peak; once it is a zombie the file no longer reports it (-1).
  std::atomic<bool> done{false};
  std::atomic<long> hwm_kb{0};
  std::thread poller([&] {
    while (!done.load()) {
      const long now = read_hwm_kb(child);
      if (now > hwm_kb.load()) hwm_kb.store(now);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });

  int status = 0;
  struct rusage usage {};
  while (::wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::perror("quillmere-measure: wait");
      return 127;
    }
  }
  const auto end = std::chrono::steady_clock::now();
  done.store(true);
  poller.join();

  const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  const long wall_ms = std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count();
  const auto to_ms = [](const timeval& time) { return time.tv_sec * 1000L + time.tv_usec / 1000L; };
  const long cpu_ms = to_ms(usage.ru_utime) + to_ms(usage.ru_stime);
  std::ofstream report(argv[1], std::ios::app);
  report << "wall_ms=" << wall_ms << " hwm_kb=" << hwm_kb.load() << " tree_kb=" << usage.ru_maxrss
         << " cpu_ms=" << cpu_ms << " status=" << exit_status << '\n';
  if (!report.flush()) {
    std::perror("quillmere-measure: report file");
    return 127;
  }
  return exit_status;
}
