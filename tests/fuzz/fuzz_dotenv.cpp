// Any bytes as a .env file: parse_dotenv must return, and every assignment it
// yields has a name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "quillmere/config/dotenv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const auto& [name, value] : quillmere::parse_dotenv(text))
    if (name.empty()) std::abort();
  return 0;
}
