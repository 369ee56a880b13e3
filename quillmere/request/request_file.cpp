#include "quillmere/request/request_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <yaml-cpp/exceptions.h>

#include "quillmere/request/onboarding_texts.h"
#include "quillmere/request/yaml_document.h"
#include "quillmere/util/file_descriptor.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

constexpr size_t kReadChunk = 64 * 1024;

// What kind of entry stands at `path`, for a refusal that says why.
std::string entry_kind(const std::string& path) {
  struct stat entry {};
  if (::lstat(path.c_str(), &entry) != 0) return "an entry that cannot be examined";
  if (S_ISLNK(entry.st_mode)) return "a symbolic link";
  if (S_ISDIR(entry.st_mode)) return "a directory";
  if (S_ISFIFO(entry.st_mode)) return "a FIFO";
  if (S_ISSOCK(entry.st_mode)) return "a socket";
  if (S_ISCHR(entry.st_mode) || S_ISBLK(entry.st_mode)) return "a device";
  if (S_ISREG(entry.st_mode)) return "a regular file";
  return "not a regular file";
}

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
  throw OnboardingError("Refusing request file " + printable(last_path_component(path)) + ": " +
                        why + "; nothing of it is read, copied or committed");
}

// A ticket or project typed as a number, boolean or date keeps the text it
// is written with ("0123" stays "0123", not 83); a list, map or binary data
// has no such text.
std::string written_text(const YAML::Node& node, std::string_view field) {
  if (!node.IsScalar() || type_scalar(node).kind == ScalarKind::Binary)
    throw std::runtime_error("the " + std::string(field) + " " + rendered(node) + " is not text");
  return node.Scalar();
}

std::string lower_case_environment(const YAML::Node& node) {
  if (!node.IsScalar() || type_scalar(node).kind != ScalarKind::Text)
    throw std::runtime_error("the environment " + rendered(node) + " is not text");
  return ascii_lower(node.Scalar());
}

// The request the YAML content names; nullopt, with `missing` saying what
// is left out, when it leaves a value out. Throws when the content cannot be
// read as a map of standard values.
std::optional<OnboardingRequest> request_from_content(std::string_view content,
                                                      std::string& missing,
                                                      std::vector<ParseNote>& notes) {
  const YAML::Node document = load_single_document(content);
  DocumentReader reader;
  reader.check(document);
  if (!reader.present(document)) {
    missing = "the content is empty";
    return std::nullopt;
  }
  if (!document.IsMap() || collection_kind(document) != Collection::Map)
    throw std::runtime_error("the top-level value is not a map");

  const YamlEntries& map = reader.entries(document);
  const auto ticket = reader.field(map, "ticket", "jira_ticket");
  const auto environment = reader.field(map, "environment");
  const auto project = reader.field(map, "project", "project_name");
  if (!ticket || !environment || !project) {  // never mix with the name
    std::vector<std::string> absent;
    if (!ticket) absent.emplace_back("ticket");
    if (!environment) absent.emplace_back("environment");
    if (!project) absent.emplace_back("project");
    missing = "the content names no " + join(absent, ", no ");
    return std::nullopt;
  }

  OnboardingRequest request;
  request.ticket = written_text(*ticket, "ticket");
  request.project_name = written_text(*project, "project");
  notes.push_back({LogLevel::Info, "Using data from YAML content: " + printable(request.ticket) +
                                       ", " + printable(rendered(*environment)) + ", " +
                                       printable(request.project_name)});
  // Deliberately after the log line: an environment that is not text is
  // noticed only here, and the file name decides.
  request.environment = lower_case_environment(*environment);
  return request;
}

// --- The file name ----------------------------------------------------------------

bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_letter(char c) { return is_upper(c) || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Matches "TICKET_ENVIRONMENT_PROJECT.yaml", where TICKET is [A-Z]+-[0-9]+,
// ENVIRONMENT is [a-zA-Z]+ and PROJECT is anything but empty or a line feed.
// Neither of the first two can hold an underscore, so the first two
// underscores end them and the project runs up to the final ".yaml".
std::optional<OnboardingRequest> split_file_name(std::string_view name) {
  constexpr std::string_view kExtension = ".yaml";
  size_t pos = 0;
  const auto run = [&](auto pred) {
    const size_t start = pos;
    while (pos < name.size() && pred(name[pos])) ++pos;
    return pos > start;
  };
  const auto eat = [&](char c) {
    if (pos >= name.size() || name[pos] != c) return false;
    ++pos;
    return true;
  };
  if (!run(is_upper) || !eat('-') || !run(is_digit)) return std::nullopt;
  const size_t ticket_end = pos;
  if (!eat('_')) return std::nullopt;
  const size_t environment_start = pos;
  if (!run(is_letter)) return std::nullopt;
  const size_t environment_end = pos;
  if (!eat('_')) return std::nullopt;

  const std::string_view rest = name.substr(pos);
  if (!rest.ends_with(kExtension) || rest.size() == kExtension.size()) return std::nullopt;
  const std::string_view project = rest.substr(0, rest.size() - kExtension.size());
  if (project.find('\n') != std::string_view::npos) return std::nullopt;

  return OnboardingRequest{
      std::string(name.substr(0, ticket_end)),
      std::string(name.substr(environment_start, environment_end - environment_start)),
      std::string(project)};
}

OnboardingRequest request_from_file_name(std::string_view name, std::vector<ParseNote>& notes) {
  std::optional<OnboardingRequest> request = split_file_name(name);
  if (!request)
    throw InvalidRequestFileError("Invalid filename format: " + printable(name) +
                                  ". Expected format: TICKET_ENVIRONMENT_PROJECT.yaml");
  notes.push_back({LogLevel::Info, "Parsed from filename: Ticket=" + request->ticket +
                                       ", Environment=" + request->environment +
                                       ", Project=" + printable(request->project_name)});
  request->environment = ascii_lower(request->environment);
  return *request;
}

}  // namespace

std::string read_request_file(const std::string& path) {
  // Never follow a link (it could point at any file the service can read)
  // and never wait on a FIFO: the kind is judged on the opened descriptor.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == ELOOP || error == ENXIO) refuse(path, "it is " + entry_kind(path));
    refuse(path, std::string("it cannot be opened: ") + std::strerror(error));
  }
  const FileDescriptor file(fd);
  struct stat entry {};
  if (::fstat(file.get(), &entry) != 0)
    refuse(path, std::string("it cannot be examined: ") + std::strerror(errno));
  if (!S_ISREG(entry.st_mode)) refuse(path, "it is " + entry_kind(path));
  // Another name of the same file may be one the tool must never publish
  // (a .env holding the token), exactly as a symbolic link may point at it.
  if (entry.st_nlink > 1) refuse(path, "it has " + std::to_string(entry.st_nlink) + " hard links");
  const auto too_large = [&](unsigned long long size) {
    refuse(path, "it holds " + std::to_string(size) + " bytes, more than the limit of " +
                     std::to_string(kMaxRequestFileBytes) + " (1 MiB)");
  };
  if (static_cast<unsigned long long>(entry.st_size) > kMaxRequestFileBytes)
    too_large(static_cast<unsigned long long>(entry.st_size));

  std::string content;
  char buffer[kReadChunk];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      refuse(path, std::string("it cannot be read: ") + std::strerror(errno));
    }
    content.append(buffer, static_cast<size_t>(n));
    // The file may grow while it is read; the limit holds for what is read.
    if (content.size() > kMaxRequestFileBytes) too_large(content.size());
  }
  return content;
}

void log_parse_notes(const std::vector<ParseNote>& notes) {
  for (const ParseNote& note : notes) logger().log(note.level, note.text);
}

ParsedRequest parse_request_explained(std::string_view file_name, std::string_view content) {
  ParsedRequest parsed;
  try {
    if (std::optional<OnboardingRequest> request =
            request_from_content(content, parsed.content_problem, parsed.notes)) {
      parsed.request = std::move(*request);
      parsed.from_content = true;
      return parsed;
    }
  } catch (const YAML::Exception& error) {
    // A syntax error is named where it is, beside what the file name decides.
    parsed.content_problem = "YAML syntax error at line " + std::to_string(error.mark.line + 1) +
                             ", column " + std::to_string(error.mark.column + 1) + ": " +
                             printable(error.msg);
  } catch (const std::exception& error) {
    // Whatever is wrong with the content, the file name still decides.
    parsed.content_problem = printable(error.what());
    parsed.notes.push_back({LogLevel::Debug, "Could not parse YAML from " + printable(file_name) +
                                                 ": " + parsed.content_problem});
  }
  try {
    parsed.request = request_from_file_name(file_name, parsed.notes);
  } catch (const InvalidRequestFileError& refusal) {
    parsed.name_problem = refusal.what();
  }
  return parsed;
}

OnboardingRequest parse_request(std::string_view file_name, std::string_view content) {
  ParsedRequest parsed = parse_request_explained(file_name, content);
  if (!parsed.request) throw InvalidRequestFileError(parsed.name_problem);
  return std::move(*parsed.request);
}

OnboardingRequest parse_file(const std::string& file_path) {
  return parse_request(last_path_component(file_path), read_request_file(file_path));
}

void RequestFile::require_request() const {
  if (!parsed.request) throw InvalidRequestFileError(parsed.name_problem);
}

RequestFile load_request_file(const std::string& path) {
  RequestFile file;
  file.path = path;
  file.file_name = last_path_component(path);
  file.content = read_request_file(path);
  file.parsed = parse_request_explained(file.file_name, file.content);
  if (file.parsed.request) {
    file.request = *file.parsed.request;
    file.branch = branch_name_for(file.request);
    file.target = file.request.environment;
  }
  return file;
}

}  // namespace quillmere
