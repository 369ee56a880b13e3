#include "quillmere/util/logging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

#include "quillmere/util/error.h"
#include "quillmere/util/secrets.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {
constexpr const char* kLogDir = "logs";
constexpr const char* kLogFile = kLogFilePath;
constexpr const char* kLoggerName = "quillmere.quillmere";

// The journal takes each physical line as a record of its own, so a message
// with line breaks needs the priority on every one of its lines.
std::string with_journal_priority(const std::string& lines, std::string_view priority) {
  std::string prefixed;
  prefixed.reserve(lines.size() + 2 * priority.size());
  size_t start = 0;
  while (start < lines.size()) {
    const size_t end = std::min(lines.find('\n', start), lines.size() - 1) + 1;
    prefixed.append(priority).append(lines, start, end - start);
    start = end;
  }
  return prefixed;
}
}  // namespace

const char* journal_priority(LogLevel level) {
  switch (level) {
    case LogLevel::Debug:
      return "<7>";
    case LogLevel::Info:
      return "<6>";
    case LogLevel::Warning:
      return "<4>";
    case LogLevel::Error:
      return "<3>";
  }
  return "<6>";
}

bool standard_error_is_journal(const std::optional<std::string>& journal_stream) {
  if (!journal_stream) return false;
  struct stat console {};
  if (::fstat(STDERR_FILENO, &console) != 0) return false;
  const std::string expected = std::to_string(static_cast<unsigned long long>(console.st_dev)) +
                               ":" +
                               std::to_string(static_cast<unsigned long long>(console.st_ino));
  return *journal_stream == expected;
}

const char* log_level_name(LogLevel level) {
  switch (level) {
    case LogLevel::Debug:
      return "DEBUG";
    case LogLevel::Info:
      return "INFO";
    case LogLevel::Warning:
      return "WARNING";
    case LogLevel::Error:
      return "ERROR";
  }
  return "INFO";
}

Logger::Logger(std::string name) : name_(std::move(name)) {}

Logger::~Logger() { clear_outputs(); }

void Logger::add_output(std::FILE* stream, bool owned, bool journal) {
  outputs_.push_back({stream, owned, journal});
}

void Logger::clear_outputs() {
  for (const Output& output : outputs_)
    if (output.owned) std::fclose(output.stream);
  outputs_.clear();
}

std::string Logger::format_line(LogLevel level, std::string_view message) const {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

  std::string line;
  line.reserve(message.size() + name_.size() + 40);
  line.append(stamp).append(" - ").append(name_).append(" - ");
  line.append(log_level_name(level)).append(" - ").append(message).push_back('\n');
  return line;
}

std::string Logger::format_json(LogLevel level, std::string_view message) const {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long long millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[40];
  const size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(stamp + length, sizeof stamp - length, ".%03lld+00:00", millis);

  nlohmann::ordered_json record;
  record["time"] = stamp;
  record["level"] = log_level_name(level);
  record["logger"] = name_;
  record["message"] = std::string(message);
  if (current_file_) record["file"] = shown(*current_file_);
  // Invalid UTF-8 from outside becomes U+FFFD: the record stays JSON.
  return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void Logger::add_secret(std::string secret) {
  // A value this short is no secret worth the name, and masking it would
  // garble every line that happens to contain it.
  constexpr size_t kShortest = 8;
  if (secret.size() >= kShortest) secrets_.push_back(std::move(secret));
}

std::string Logger::shown(std::string_view message) const {
  // A user and password inside any URL (a setting's, or one quoted by git
  // or a server) never show, whatever their length.
  std::string text = mask_url_credentials(message);
  for (const std::string& secret : secrets_) text = mask_secret(std::move(text), secret);
  return printable_keeping_line_feeds(text);
}

void Logger::log(LogLevel level, std::string_view message) {
  if (level < threshold_) return;
  const std::string text = shown(message);
  if (recorder_) recorder_->push_back({level, text});
  if (outputs_.empty()) return;

  const std::string plain_line =
      format_ == LogFormat::Json ? format_json(level, text) : format_line(level, text);
  std::string journal_line;
  for (const Output& output : outputs_) {
    if (output.journal && journal_line.empty())
      journal_line = with_journal_priority(plain_line, journal_priority(level));
    const std::string& line = output.journal ? journal_line : plain_line;
    // The line is written whole and flushed, so the file and the console
    // stay in step even if the process dies right after.
    if (std::fwrite(line.data(), 1, line.size(), output.stream) != line.size() ||
        std::fflush(output.stream) != 0) {
      if (output.stream != stderr)
        std::fprintf(stderr, "quillmere: could not write to the log file: %s\n",
                     std::strerror(errno));
    }
  }
}

Logger& logger() {
  static Logger process_logger(kLoggerName);
  return process_logger;
}

FileInLog::FileInLog(std::string_view file) { logger().set_current_file(std::string(file)); }

FileInLog::~FileInLog() { logger().set_current_file(std::nullopt); }

Logger& setup_logging(LogLevel threshold, bool console_is_journal, LogFormat format) {
  Logger& log = logger();
  struct stat entry {};
  if (::lstat(kLogDir, &entry) != 0) {
    if (::mkdir(kLogDir, 0777) != 0 && errno != EEXIST)
      throw OnboardingError(std::string("cannot create log directory ") + kLogDir + ": " +
                            std::strerror(errno));
  }
  // Close-on-exec ("e"): no child inherits the log.
  std::FILE* file = std::fopen(kLogFile, "ae");
  if (!file)
    throw OnboardingError(std::string("cannot open log file ") + kLogFile + ": " +
                          std::strerror(errno));
  log.clear_outputs();
  log.add_output(file, /*owned=*/true);
  log.add_output(stderr, /*owned=*/false, console_is_journal);
  log.set_threshold(threshold);
  log.set_format(format);
  return log;
}

}  // namespace quillmere
