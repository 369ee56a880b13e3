// Flushes that fail on demand: a test program that uses these gets an fsync
// of its own in place of the C library's (its children keep theirs).
#pragma once

namespace quillmere::testing {

/// While set, every fsync fails with EIO.
void fail_fsync(bool fail);

/// fsync calls since the last reset_fsync_calls().
int fsync_calls();
void reset_fsync_calls();

}  // namespace quillmere::testing
