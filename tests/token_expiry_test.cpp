#include "quillmere/remote/token_expiry.h"

#include <gtest/gtest.h>

namespace quillmere::token_expiry_test {
namespace {

using std::chrono::sys_days;
using namespace std::chrono;

TEST(TokenExpiry, CountsUtcDaysToAWellFormedDateOnly) {
  EXPECT_EQ(epoch_day_of("1970-01-02"), 1);
  EXPECT_EQ(epoch_day_of("2024-02-29"), 19782);
  for (const char* malformed : {"2023-02-29", "2024-13-01", "2024-1-01", "2024-01-01T00:00:00Z", "",
                                "2024/01/01", "20x4-01-01"})
    EXPECT_EQ(epoch_day_of(malformed), std::nullopt) << malformed;

  // A minute before midnight UTC still counts the whole day.
  const system_clock::time_point late = sys_days(2025y / March / 1) + 23h + 59min;
  EXPECT_EQ(days_until_expiry("2025-03-15", late), 14);
  EXPECT_EQ(days_until_expiry("2025-03-01", late), 0);

  EXPECT_EQ(token_expiry_warning("2025-03-01", 0),
            "⚠️ GITLAB_TOKEN expires on 2025-03-01 (0 days): renew it before then");
  EXPECT_EQ(token_expiry_warning("2020-01-01", -2534),
            "⚠️ GITLAB_TOKEN expired on 2020-01-01: renew it");
}

}  // namespace
}  // namespace quillmere::token_expiry_test
