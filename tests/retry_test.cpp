#include "quillmere/remote/retry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "quillmere/util/error.h"
#include "tests/support/process.h"

namespace quillmere::retry_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::LogCapture;

// A failure of a kind of its own, to show that the last one is passed on as
// it was thrown.
class RemoteRefusal : public OnboardingError {
 public:
  using OnboardingError::OnboardingError;
};

struct RetryTest : ::testing::Test {
  std::vector<long long> waits;
  LogCapture log;
  RetryPolicy policy(int attempts, int delay) {
    return retry_api_call(attempts, delay, [this](long long seconds) { waits.push_back(seconds); });
  }
};

TEST_F(RetryTest, SuccessAtOnceIsSilent) {
  int calls = 0;
  const int result = policy(3, 1).call([&](int x) { return ++calls, x * 2; }, 21);
  EXPECT_EQ(result, 42);
  EXPECT_EQ(calls, 1);
  EXPECT_THAT(waits, IsEmpty());
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(RetryTest, OneFailureThenSuccessWaitsOnceAndSaysSo) {
  int calls = 0;
  std::vector<std::string> seen;
  const std::string result = policy(3, 1).call(
      [&](const std::string& name) {
        seen.push_back(name);
        if (++calls == 1) throw OnboardingError("User not found: " + name);
        return "id of " + name;
      },
      std::string("alice"));
  EXPECT_EQ(result, "id of alice");
  EXPECT_THAT(seen, ElementsAre("alice", "alice"));  // the same argument both times
  EXPECT_THAT(waits, ElementsAre(1));
  EXPECT_THAT(log.lines(), ElementsAre("WARNING - Attempt 1/3 failed: User not found: alice",
                                       "INFO - Retrying in 1 seconds..."));
}

TEST_F(RetryTest, PermanentFailureGivesFiveLinesAndTheLastFailureUnchanged) {
  int calls = 0;
  try {
    policy(3, 1).call([&]() -> int {
      throw RemoteRefusal("MR creation failed: attempt " + std::to_string(++calls));
    });
    FAIL() << "no failure passed on";
  } catch (const RemoteRefusal& failure) {
    EXPECT_STREQ(failure.what(), "MR creation failed: attempt 3");
  }
  EXPECT_EQ(calls, 3);
  EXPECT_THAT(waits, ElementsAre(1, 2));
  EXPECT_THAT(log.lines(),
              ElementsAre("WARNING - Attempt 1/3 failed: MR creation failed: attempt 1",
                          "INFO - Retrying in 1 seconds...",
                          "WARNING - Attempt 2/3 failed: MR creation failed: attempt 2",
                          "INFO - Retrying in 2 seconds...",
                          "ERROR - Failed after 3 attempts: MR creation failed: attempt 3"));
}

TEST_F(RetryTest, RetryAfterStretchesTheWaitUpToAMinute) {
  struct Case {
    long long asked;
    long long wait;
    const char* line;
    int delay = 1;
  };
  const Case cases[] = {{30, 30, "INFO - Retrying in 30 seconds (Retry-After)..."},
                        {600, 60, "INFO - Retrying in 60 seconds (Retry-After)..."},
                        {0, 1, "INFO - Retrying in 1 seconds..."},
                        // A shorter wait asked for never shortens the back-off.
                        {1, 2, "INFO - Retrying in 2 seconds...", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.asked);
    waits.clear();
    log.clear();
    int calls = 0;
    policy(3, c.delay).call([&] {
      if (++calls == 1) throw RetryLaterError("MR creation failed: busy", c.asked);
      return 0;
    });
    EXPECT_THAT(waits, ElementsAre(c.wait));
    EXPECT_THAT(log.lines(),
                ElementsAre("WARNING - Attempt 1/3 failed: MR creation failed: busy", c.line));
  }
}

TEST_F(RetryTest, OtherLimits) {
  {
    SCOPED_TRACE("a single attempt: only the ERROR line, no wait");
    EXPECT_THROW(policy(1, 1).call([]() -> int { throw std::runtime_error("refused"); }),
                 std::runtime_error);
    EXPECT_THAT(waits, IsEmpty());
    EXPECT_THAT(log.lines(), ElementsAre("ERROR - Failed after 1 attempts: refused"));
  }
  {
    SCOPED_TRACE("delay 5, four attempts: 5, 10, 20");
    EXPECT_THROW(policy(4, 5).call([]() -> int { throw std::runtime_error("down"); }),
                 std::runtime_error);
    EXPECT_THAT(waits, ElementsAre(5, 10, 20));
  }
  {
    SCOPED_TRACE("the wrapped form behaves the same");
    waits.clear();
    int calls = 0;
    auto wrapped = policy(3, 1).wrap([&](int x) {
      if (++calls < 3) throw std::runtime_error("flaky");
      return x + 1;
    });
    EXPECT_EQ(wrapped(1), 2);
    EXPECT_THAT(waits, ElementsAre(1, 2));
  }
}

TEST_F(RetryTest, PolicyWithoutAttemptsIsRefusedWhenBuilt) {
  // Otherwise the wrapped operation would return an empty result without ever
  // having run.
  EXPECT_THROW(retry_api_call(0, 1), std::invalid_argument);
  EXPECT_THROW(retry_api_call(-1, 1), std::invalid_argument);
  EXPECT_THROW(retry_api_call(3, -1), std::invalid_argument);
  EXPECT_EQ(retry_api_call().max_attempts(), 3);
  EXPECT_EQ(retry_api_call().delay_seconds(), 1);
}

}  // namespace
}  // namespace quillmere::retry_test
