#include "tests/support/fsync_control.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace {
bool failing = false;
int calls = 0;
}  // namespace

extern "C" int fsync(int fd) {
  ++calls;
  if (failing) {
    errno = EIO;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace quillmere::testing {

void fail_fsync(bool fail) { failing = fail; }
int fsync_calls() { return calls; }
void reset_fsync_calls() { calls = 0; }

}  // namespace quillmere::testing
