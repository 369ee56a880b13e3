// CA bundles named by the settings: read without blocking and within a
// limit (at start-up to check them, and for the HTTP client to use them).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillmere {

/// The largest CA bundle that is read at all.
inline constexpr std::size_t kMaxCaBundleBytes = 4 * 1024 * 1024;

/// The PEM text of the CA bundle at `path`, which must be a readable regular
/// file (opened without waiting, so a FIFO cannot hold the run) of at most
/// kMaxCaBundleBytes holding at least one certificate. Throws OnboardingError
/// "VARIABLE is not a readable certificate file: PATH" otherwise.
std::string read_ca_bundle(std::string_view variable, const std::string& path);

}  // namespace quillmere
