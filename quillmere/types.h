// Types shared by every part of quillmere: the failures it reports and the
// request that one request file yields.
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

/// Neither the content nor the name of a request file supplies a request.
/// Handled exactly like OnboardingError everywhere.
class InvalidRequestFileError : public OnboardingError {
 public:
  explicit InvalidRequestFileError(const std::string& message) : OnboardingError(message) {}
};

/// What one request file asks for. All three fields are non-empty; the
/// environment is lower-case.
struct OnboardingRequest {
  std::string ticket;
  std::string environment;
  std::string project_name;

  bool operator==(const OnboardingRequest&) const = default;
};

}  // namespace quillmere
