// The command line: what the operator asked this process to do.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "quillmere/util/error.h"

namespace quillmere {

/// What one invocation does.
enum class ProgramMode {
  Batch,    ///< no arguments: onboard every request file, as always
  Help,     ///< -h, --help
  Version,  ///< -V, --version
  Check,    ///< --check: the dry run over the configured request directory
  Lint,     ///< --check FILE...: only the named files, parsed
};

struct ProgramOptions {
  ProgramMode mode = ProgramMode::Batch;
  std::vector<std::string> files;  ///< the files to lint
  /// --env-file FILE: the settings file, read instead of looking for .env.
  std::optional<std::string> env_file;
};

/// A command line that cannot be followed. The message is one line, ready to
/// be shown after "quillmere: ".
class UsageError : public OnboardingError {
 public:
  using OnboardingError::OnboardingError;
};

/// Reads the command line with the usual conventions (getopt_long: options
/// and operands in any order, "--" ends the options). Help and version win
/// over everything else. Throws UsageError for an unknown option, an option
/// given an argument it does not take or missing the one it needs, or an
/// operand without --check.
ProgramOptions parse_program_options(int argc, char* const argv[]);

/// The --help text.
std::string usage_text();

/// The --version text in the GNU form: "quillmere VERSION", the copyright
/// and the licence.
std::string version_text();

}  // namespace quillmere
