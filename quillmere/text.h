// Small text helpers shared by the subsystems.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillmere {

/// Removes leading and trailing white space.
std::string trim(std::string_view text);

/// The pieces of `text` between the separators, empty ones included; views
/// into `text`.
std::vector<std::string_view> split(std::string_view text, char separator);

/// The pieces with `separator` between them.
std::string join(const std::vector<std::string>& pieces, std::string_view separator);

/// CR LF and a lone CR both become LF, as text-mode reading does.
std::string normalise_line_endings(std::string_view text);

}  // namespace quillmere
