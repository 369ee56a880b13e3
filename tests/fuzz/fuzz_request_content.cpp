// Any bytes as the content of a request file, once under a name that is a
// request of its own and once under one that is not. InvalidRequestFileError
// is an answer; any other exception, a crash or a hang is a fault.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quillmere/request/request_file.h"
#include "request_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  // A valid name means some request always comes out.
  check_request(quillmere::parse_request("OPS-42_Staging_billing-api.yaml", content));
  try {
    check_request(quillmere::parse_request("request.yaml", content));
  } catch (const quillmere::InvalidRequestFileError&) {
  }
  return 0;
}
