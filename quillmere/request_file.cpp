#include "quillmere/request_file.h"

namespace quillmere {
OnboardingRequest parse_file(const std::string&) { throw InvalidRequestFileError("not written yet"); }
}  // namespace quillmere
