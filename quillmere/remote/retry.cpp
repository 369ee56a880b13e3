#include "quillmere/remote/retry.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <stdexcept>
#include <thread>

#include "quillmere/util/logging.h"

namespace quillmere {

void sleep_seconds(long long seconds) {
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

RetryPolicy::RetryPolicy(int max_attempts, int delay_seconds, SleepFunction sleep)
    : max_attempts_(max_attempts), delay_seconds_(delay_seconds), sleep_(std::move(sleep)) {
  if (max_attempts_ < 1) throw std::invalid_argument("max_attempts must be at least 1");
  if (delay_seconds_ < 0) throw std::invalid_argument("delay must not be negative");
  if (!sleep_) sleep_ = sleep_seconds;
}

long long RetryPolicy::wait_after(int attempt) const {
  // Doubling saturates instead of overflowing for policies with many attempts.
  constexpr long long kLimit = std::numeric_limits<long long>::max() / 2;
  long long wait = delay_seconds_;
  for (int i = 0; i < attempt && wait < kLimit; ++i) wait *= 2;
  return wait;
}

void RetryPolicy::report_final_failure(const std::string& message) const {
  logger().error("Failed after " + std::to_string(max_attempts_) + " attempts: " + message);
}

void RetryPolicy::wait_before_retry(int attempt, const std::string& message,
                                    long long requested_seconds) const {
  const long long backoff = wait_after(attempt);
  const long long requested = std::min(requested_seconds, kMaxRetryAfterSeconds);
  const bool as_asked = requested > backoff;
  const long long wait = as_asked ? requested : backoff;
  logger().warning("Attempt " + std::to_string(attempt + 1) + "/" + std::to_string(max_attempts_) +
                   " failed: " + message);
  logger().info("Retrying in " + std::to_string(wait) +
                (as_asked ? " seconds (Retry-After)..." : " seconds..."));
  sleep_(wait);
}

RetryPolicy retry_api_call(int max_attempts, int delay_seconds, SleepFunction sleep) {
  return RetryPolicy(max_attempts, delay_seconds, std::move(sleep));
}

}  // namespace quillmere
