#include "quillmere/config/dotenv.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <sstream>

#include "quillmere/config/settings_file.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool is_regular_file(const std::string& path) {
  struct stat entry {};
  return ::stat(path.c_str(), &entry) == 0 && S_ISREG(entry.st_mode);
}

std::string parent_directory(const std::string& dir) {
  const auto slash = dir.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return dir.substr(0, slash);
}

// A value in matching quotes loses them and is taken literally; an unquoted
// value ends at a " #" comment and is trimmed.
std::string unquote(std::string_view raw) {
  std::string value = trim(raw);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')) {
    const auto closing = value.find(value.front(), 1);
    if (closing != std::string::npos) return value.substr(1, closing - 1);
  }
  for (size_t i = 1; i < value.size(); ++i)
    if (value[i] == '#' && is_space(value[i - 1]))
      return trim(std::string_view(value).substr(0, i));
  return value;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> parse_dotenv(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> assignments;
  // Editors on some systems start a UTF-8 file with a byte-order mark; it is
  // no part of the first name.
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  std::istringstream lines{std::string(text)};
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string content = trim(line);
    if (content.empty() || content.front() == '#') continue;
    if (content.rfind("export", 0) == 0 && content.size() > 6 && is_space(content[6]))
      content = trim(std::string_view(content).substr(7));
    const auto equals = content.find('=');
    if (equals == std::string::npos) continue;  // not an assignment
    std::string name = trim(std::string_view(content).substr(0, equals));
    if (name.empty()) continue;
    assignments.emplace_back(std::move(name),
                             unquote(std::string_view(content).substr(equals + 1)));
  }
  return assignments;
}

LoadedSettingsFile load_settings_file(const std::string& start_dir,
                                      const std::optional<std::string>& env_file) {
  LoadedSettingsFile loaded;
  if (env_file) {
    loaded.path = *env_file;
  } else {
    std::string dir = start_dir.empty() ? "/" : start_dir;
    while (!is_regular_file(join_path(dir, ".env")) && dir != "/") dir = parent_directory(dir);
    if (!is_regular_file(join_path(dir, ".env"))) return loaded;
    loaded.path = join_path(dir, ".env");
  }
  const SettingsFileText file = read_settings_file(loaded.path);
  loaded.refusal = file.refusal;
  if (!file.text) return loaded;
  // Within the file a later line wins, as in a shell; the environment the
  // tool was started with wins over the file.
  std::map<std::string, std::string> assignments;
  for (auto& [name, value] : parse_dotenv(*file.text)) assignments[name] = std::move(value);
  for (const auto& [name, value] : assignments)
    ::setenv(name.c_str(), value.c_str(), /*overwrite=*/0);
  return loaded;
}

std::string settings_file_warning(const LoadedSettingsFile& file) {
  return "⚠️ Not reading settings from " + printable(file.path) + ": " +
         printable(file.refusal.value_or(""));
}

}  // namespace quillmere
