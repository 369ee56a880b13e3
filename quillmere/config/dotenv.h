// The optional .env file that tops up the process environment at start-up.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmere {

/// Parses the text of a .env file into (name, value) pairs in file order.
std::vector<std::pair<std::string, std::string>> parse_dotenv(std::string_view text);

/// Loads the first regular file named ".env" found in `start_dir` or one of
/// its parents. Variables already set in the environment keep their values.
/// A missing file is not an error.
void load_dotenv(const std::string& start_dir);

}  // namespace quillmere
