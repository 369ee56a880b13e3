// quillmere-peak-rss OUT PROGRAM [ARG...]: runs PROGRAM with the caller's
// streams and environment, waits for it, writes into OUT the largest resident
// set (in KiB) of PROGRAM and of every child it waited for, and exits as
// PROGRAM did. A test starts PROGRAM through this small helper because a
// child forked from the test program itself would count the test program's
// own pages in its peak.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: quillmere-peak-rss OUT PROGRAM [ARG...]\n");
    return 2;
  }
  const pid_t child = ::fork();
  if (child < 0) return 127;
  if (child == 0) {
    ::execvp(argv[2], argv + 2);
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  while (::wait4(child, &status, 0, &usage) < 0)
    if (errno != EINTR) return 127;
  if (std::FILE* out = std::fopen(argv[1], "w")) {
    std::fprintf(out, "%ld\n", usage.ru_maxrss);
    std::fclose(out);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
