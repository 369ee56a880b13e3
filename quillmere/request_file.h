// Turning one request file into its ticket, environment and project.
#pragma once

#include <string>

#include "quillmere/types.h"

namespace quillmere {

/// Reads the request from the file's YAML content or, failing that, from its
/// name "TICKET_ENVIRONMENT_PROJECT.yaml". Throws InvalidRequestFileError.
OnboardingRequest parse_file(const std::string& file_path);

}  // namespace quillmere
