// DONE_DIR: where a request file goes once it is onboarded, so that later
// runs no longer meet it.
#pragma once

#include <string>

#include "quillmere/config/settings.h"

namespace quillmere {

/// Refuses a DONE_DIR that is the request directory itself (every file would
/// come back), or that is or lies inside the working copy (the files would
/// land among the repository's own). DONE_DIR need not exist yet.
void validate_done_dir(const Settings& settings);

/// Creates DONE_DIR (and its parents) when missing; refuses an entry there
/// that is not a directory.
void prepare_done_dir(const Settings& settings);

/// Moves the file at `source_path` into `done_dir` and returns the name it
/// has there. A name already there is never overwritten: the file then gets
/// "NAME-2.yaml", "NAME-3.yaml", ... On the same file system this is a
/// rename; across file systems the copy is flushed to disk before the
/// original is removed. Throws OnboardingError, leaving the original in
/// place, when the file cannot be moved.
std::string move_to_done_dir(const std::string& source_path, const std::string& done_dir);

}  // namespace quillmere
