#include "quillmere/remote/token_expiry.h"

#include "quillmere/util/logging.h"

namespace quillmere {

std::optional<long long> epoch_day_of(std::string_view date) {
  if (date.size() != 10 || date[4] != '-' || date[7] != '-') return std::nullopt;
  int parts[3] = {0, 0, 0};
  const size_t starts[3] = {0, 5, 8};
  const size_t lengths[3] = {4, 2, 2};
  for (int i = 0; i < 3; ++i)
    for (char c : date.substr(starts[i], lengths[i])) {
      if (c < '0' || c > '9') return std::nullopt;
      parts[i] = parts[i] * 10 + (c - '0');
    }
  const std::chrono::year_month_day day{std::chrono::year{parts[0]},
                                        std::chrono::month{static_cast<unsigned>(parts[1])},
                                        std::chrono::day{static_cast<unsigned>(parts[2])}};
  if (!day.ok()) return std::nullopt;
  return std::chrono::sys_days(day).time_since_epoch().count();
}

long long epoch_day_at(std::chrono::system_clock::time_point when) {
  return std::chrono::floor<std::chrono::days>(when).time_since_epoch().count();
}

long long days_until_expiry(const std::string& date, std::chrono::system_clock::time_point now) {
  return epoch_day_of(date).value_or(0) - epoch_day_at(now);
}

std::string token_expiry_warning(const std::string& date, long long days) {
  if (days < 0) return "⚠️ GITLAB_TOKEN expired on " + date + ": renew it";
  return "⚠️ GITLAB_TOKEN expires on " + date + " (" + std::to_string(days) +
         " days): renew it before then";
}

std::optional<std::string> warn_of_token_expiry(const std::optional<std::string>& date,
                                                std::chrono::system_clock::time_point now) {
  if (!date || !epoch_day_of(*date)) return std::nullopt;
  const long long days = days_until_expiry(*date, now);
  if (days <= kTokenExpiryWarningDays) logger().warning(token_expiry_warning(*date, days));
  return date;
}

}  // namespace quillmere
