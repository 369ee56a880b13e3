// Retrying an operation with exponential back-off.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>

#include "quillmere/util/error.h"

namespace quillmere {

/// A failure whose server asked to be tried again no sooner than `seconds`
/// (an HTTP 429 with Retry-After). Handled like OnboardingError everywhere;
/// the retry policy waits that long when it is longer than its own back-off.
class RetryLaterError : public OnboardingError {
 public:
  RetryLaterError(const std::string& message, long long seconds)
      : OnboardingError(message), seconds_(seconds) {}
  long long seconds() const { return seconds_; }

 private:
  long long seconds_;
};

/// The longest wait a Retry-After may ask for; a longer request is cut to it.
inline constexpr long long kMaxRetryAfterSeconds = 60;

/// Blocks for a whole number of seconds; replaced in tests.
using SleepFunction = std::function<void(long long seconds)>;
void sleep_seconds(long long seconds);

/// Attempts an operation up to `max_attempts` times, waiting delay * 2^attempt
/// seconds between attempts, and passes the last failure on unchanged (same
/// type, same message). Every std::exception counts as a failed attempt.
class RetryPolicy {
 public:
  /// Throws std::invalid_argument when max_attempts < 1 or delay < 0: a policy
  /// without attempts would report success for an operation it never ran.
  RetryPolicy(int max_attempts, int delay_seconds, SleepFunction sleep = sleep_seconds);

  int max_attempts() const { return max_attempts_; }
  int delay_seconds() const { return delay_seconds_; }

  /// Calls `operation(args...)` under the policy and returns its result. Each
  /// attempt gets the caller's arguments as they were given (never moved from).
  /// A RetryLaterError stretches the wait to what the server asked for.
  template <typename Operation, typename... Args>
  auto call(Operation&& operation, Args&&... args) const
      -> std::invoke_result_t<Operation&, Args&...> {
    for (int attempt = 0;; ++attempt) {
      try {
        return std::invoke(operation, args...);
      } catch (const std::exception& failure) {
        if (attempt + 1 >= max_attempts_) {
          report_final_failure(failure.what());
          throw;
        }
        const auto* later = dynamic_cast<const RetryLaterError*>(&failure);
        wait_before_retry(attempt, failure.what(), later ? later->seconds() : 0);
      }
    }
  }

  /// The operation wrapped: same arguments, same result.
  template <typename Operation>
  auto wrap(Operation operation) const {
    return [policy = *this, operation](auto&&... args) {
      return policy.call(operation, std::forward<decltype(args)>(args)...);
    };
  }

  /// The wait after the failed attempt `attempt` (counted from 0).
  long long wait_after(int attempt) const;

 private:
  void report_final_failure(const std::string& message) const;
  void wait_before_retry(int attempt, const std::string& message,
                         long long requested_seconds) const;

  int max_attempts_;
  int delay_seconds_;
  SleepFunction sleep_;
};

/// The policy with the given limits (3 attempts, 1 second by default).
RetryPolicy retry_api_call(int max_attempts = 3, int delay_seconds = 1,
                           SleepFunction sleep = sleep_seconds);

}  // namespace quillmere
