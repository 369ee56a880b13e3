// When the GitLab token stops working, and the warning a run gives ahead of
// that day: an unattended tool would otherwise find out when every file
// fails with a 401.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

/// Days a warning comes ahead of the expiry.
inline constexpr long long kTokenExpiryWarningDays = 14;

/// Days since 1970-01-01 of a "YYYY-MM-DD" date; nullopt for anything else.
std::optional<long long> epoch_day_of(std::string_view date);

/// The UTC day `when` falls on, in days since 1970-01-01.
long long epoch_day_at(std::chrono::system_clock::time_point when);

/// UTC days from `now` to the expiry date `date` ("YYYY-MM-DD").
long long days_until_expiry(const std::string& date, std::chrono::system_clock::time_point now);

/// "⚠️ GITLAB_TOKEN expires on DATE (N days): renew it before then", or
/// once the day has passed "⚠️ GITLAB_TOKEN expired on DATE: renew it".
std::string token_expiry_warning(const std::string& date, long long days);

/// Warns when the expiry date `date` ("YYYY-MM-DD") is at most 14 UTC days
/// away; returns the date, or nullopt when it is absent or no date.
std::optional<std::string> warn_of_token_expiry(const std::optional<std::string>& date,
                                                std::chrono::system_clock::time_point now);

}  // namespace quillmere
