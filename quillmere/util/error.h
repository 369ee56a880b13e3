// The program's one error family: every failure it reports carries its
// message text ready for the log.
#pragma once

#include <stdexcept>
#include <string>

namespace quillmere {

/// The program's general failure. The message is ready for the log: it reaches
/// the per-file ERROR line of the batch run or the "Fatal error: " line.
class OnboardingError : public std::runtime_error {
 public:
  explicit OnboardingError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace quillmere
