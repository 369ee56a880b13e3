// What every parsed request promises, checked after each successful parse.
#pragma once

#include <cstdlib>

#include "quillmere/request/onboarding_request.h"

inline void check_request(const quillmere::OnboardingRequest& request) {
  if (request.ticket.empty() || request.environment.empty() || request.project_name.empty())
    std::abort();
  for (char c : request.environment)
    if (c >= 'A' && c <= 'Z') std::abort();
}
