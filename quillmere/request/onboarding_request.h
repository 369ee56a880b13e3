// What one request file yields, and the failure of a file that yields nothing.
#pragma once

#include <string>

#include "quillmere/util/error.h"

namespace quillmere {

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
