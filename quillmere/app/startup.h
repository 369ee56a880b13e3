// Start-up: the command line, then .env, settings, logging and the batch
// (or the check the command line asks for).
#pragma once

namespace quillmere {

/// Runs the tool for the command line `argv` as a process would and returns
/// its exit status.
int run_quillmere(int argc, char* argv[]);

}  // namespace quillmere
