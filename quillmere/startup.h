// Start-up: .env, settings, logging, then the batch.
#pragma once

namespace quillmere {

/// Runs the tool as a process would and returns its exit status.
int run_quillmere();

}  // namespace quillmere
