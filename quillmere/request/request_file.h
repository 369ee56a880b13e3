// Request files: reading one safely, and the rules that turn it into its
// ticket, environment and project.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillmere/request/onboarding_request.h"
#include "quillmere/util/logging.h"

namespace quillmere {

/// The largest request file that is read at all.
inline constexpr std::size_t kMaxRequestFileBytes = 1024 * 1024;

/// The bytes of the request file at `path`. Throws OnboardingError, without
/// reading anything, for an entry that is not a regular file (a symbolic link
/// even to one, a FIFO, a socket, a device, a directory), a file with more
/// than one hard link, or one that holds more than kMaxRequestFileBytes. Never blocks and never
/// follows a link.
std::string read_request_file(const std::string& path);

/// A line for the log about where a request's values came from. The parser
/// logs nothing: its caller writes these where the run's log has them.
struct ParseNote {
  LogLevel level;
  std::string text;
};

/// Writes `notes` to the log, in order.
void log_parse_notes(const std::vector<ParseNote>& notes);

/// Where a request's values came from, and why the content did not decide
/// when it did not.
struct ParsedRequest {
  /// Absent when neither the content nor the file name supplies it.
  std::optional<OnboardingRequest> request;
  bool from_content = false;
  /// Empty when the content decided; otherwise why it could not.
  std::string content_problem;
  /// Why the file name did not supply it; empty when it was not needed or did.
  std::string name_problem;
  /// What the log says about it: the content's values, why the content
  /// could not be read (DEBUG), the file name's values.
  std::vector<ParseNote> notes;
};

/// parse_request, telling where the values came from instead of throwing.
ParsedRequest parse_request_explained(std::string_view file_name, std::string_view content);

/// The request named by `content`, a request file's bytes, when it holds
/// ticket (or jira_ticket), environment and project (or project_name);
/// otherwise by `file_name`, "TICKET_ENVIRONMENT_PROJECT.yaml". Throws
/// InvalidRequestFileError when neither supplies it.
OnboardingRequest parse_request(std::string_view file_name, std::string_view content);

/// read_request_file, then parse_request with the path's last component.
OnboardingRequest parse_file(const std::string& file_path);

/// One request file as everything after the read carries it: read once,
/// parsed once, its bytes what is committed and compared.
struct RequestFile {
  OnboardingRequest request;  ///< ticket, environment, project (when parsed.request)
  std::string branch;         ///< "ENV-TICKET-PROJECT"
  std::string target;         ///< the branch it is merged into: the environment
  std::string file_name;      ///< the bare name in the request directory
  std::string path;           ///< where it was read
  std::string content;        ///< its bytes, exactly as read and parsed
  ParsedRequest parsed;       ///< where the values came from; no request when refused

  /// Throws InvalidRequestFileError when neither the content nor the file
  /// name supplied the request.
  void require_request() const;
};

/// Reads the request file at `path` and parses it, its name being the last
/// component of `path`. Throws only when the file cannot be read (see
/// read_request_file); a file that names no request is returned with
/// `parsed.request` absent.
RequestFile load_request_file(const std::string& path);

}  // namespace quillmere
