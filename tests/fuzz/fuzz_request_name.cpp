// Any bytes as the name of an empty request file, so the name alone decides.
// InvalidRequestFileError is an answer; anything else escaping is a fault.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quillmere/request/request_file.h"
#include "request_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  try {
    check_request(quillmere::parse_request(name, ""));
  } catch (const quillmere::InvalidRequestFileError&) {
  }
  return 0;
}
