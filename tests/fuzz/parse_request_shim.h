// TEMPORARY, this branch only: declares parse_request until
// quillmere/request_file.h does. Delete together with parse_request_shim.cpp.
#pragma once

#include <string_view>

#include "quillmere/types.h"

namespace quillmere {

OnboardingRequest parse_request(std::string_view file_name, std::string_view content);

}  // namespace quillmere
