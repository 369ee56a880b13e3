// The program's one logger: every line goes to logs/onboarding.log and to
// standard error, in the same form and order.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere {

enum class LogLevel { Debug, Info, Warning, Error };

/// How a record is written: the plain line people read, or one JSON object
/// per line for log shippers (LOG_FORMAT=json).
enum class LogFormat { Text, Json };

/// The capitalised name written in each line ("INFO", "WARNING", ...).
const char* log_level_name(LogLevel level);

struct LogRecord {
  LogLevel level;
  std::string message;
};

class Logger {
 public:
  explicit Logger(std::string name);
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  void debug(std::string_view message) { log(LogLevel::Debug, message); }
  void info(std::string_view message) { log(LogLevel::Info, message); }
  void warning(std::string_view message) { log(LogLevel::Warning, message); }
  void error(std::string_view message) { log(LogLevel::Error, message); }

  /// Writes one line to every output when `level` reaches the threshold.
  void log(LogLevel level, std::string_view message);

  /// "%Y-%m-%d %H:%M:%S - NAME - LEVEL - MESSAGE\n" in local time.
  std::string format_line(LogLevel level, std::string_view message) const;

  /// One JSON object and "\n": "time" (UTC, "2025-03-02T14:03:05.123+00:00"),
  /// "level", "logger", "message" (line breaks kept, as "\n" in the string)
  /// and, while a request file is being processed, "file".
  std::string format_json(LogLevel level, std::string_view message) const;

  /// The form of every later record (Text unless changed).
  void set_format(LogFormat format) { format_ = format; }

  /// The request file being processed, named by JSON records until cleared
  /// (see FileInLog).
  void set_current_file(std::optional<std::string> file) { current_file_ = std::move(file); }

  /// Attaches an output; an owned stream is closed with the logger. Every
  /// physical line written to a `journal` output starts with its syslog
  /// priority ("<6>" for INFO), as the systemd journal reads it.
  void add_output(std::FILE* stream, bool owned, bool journal = false);
  void clear_outputs();

  /// Every later line shows "[MASKED]" wherever `secret` (as is,
  /// percent-encoded or JSON-escaped) would appear. Values of fewer than 8
  /// characters are ignored.
  void add_secret(std::string secret);

  /// The text as a line would show it: secrets and the user information of
  /// URLs ("https://***@host/") masked, control characters
  /// other than line feeds escaped (the last guard against a forged record).
  std::string shown(std::string_view message) const;

  /// Tests read what was logged here instead of parsing output streams.
  void set_recorder(std::vector<LogRecord>* recorder) { recorder_ = recorder; }

  const std::string& name() const { return name_; }

  /// Lines below `threshold` are dropped (INFO unless changed).
  void set_threshold(LogLevel threshold) { threshold_ = threshold; }

 private:
  struct Output {
    std::FILE* stream;
    bool owned;
    bool journal;
  };
  std::string name_;
  LogLevel threshold_ = LogLevel::Info;
  LogFormat format_ = LogFormat::Text;
  std::optional<std::string> current_file_;
  std::vector<Output> outputs_;
  std::vector<std::string> secrets_;
  std::vector<LogRecord>* recorder_ = nullptr;
};

/// The process's logger, named "quillmere.quillmere".
Logger& logger();

/// While it lives, the process logger's JSON records name `file` as the
/// request file being processed.
class FileInLog {
 public:
  explicit FileInLog(std::string_view file);
  ~FileInLog();
  FileInLog(const FileInLog&) = delete;
  FileInLog& operator=(const FileInLog&) = delete;
};

/// The syslog priority prefix of a level: "<7>", "<6>", "<4>" or "<3>".
const char* journal_priority(LogLevel level);

/// True when standard error is the journal stream that `journal_stream`
/// (JOURNAL_STREAM, "DEVICE:INODE") names.
bool standard_error_is_journal(const std::optional<std::string>& journal_stream);

/// The log file, relative to the directory the program starts in.
inline constexpr const char* kLogFilePath = "logs/onboarding.log";

/// Creates "logs" when missing, opens "logs/onboarding.log" for appending and
/// attaches it, then standard error (a journal output when
/// `console_is_journal`), both at `threshold` and in `format`. Throws
/// OnboardingError when the log cannot be set up.
Logger& setup_logging(LogLevel threshold = LogLevel::Info, bool console_is_journal = false,
                      LogFormat format = LogFormat::Text);

}  // namespace quillmere
