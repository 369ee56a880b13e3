// The program's log, read back as "LEVEL - message" records, with the
// look-ups the integration tests make on it.
#pragma once

#include <string>
#include <vector>

namespace quillmere::testing {

class RunLog {
 public:
  /// `console` is what the program wrote to standard error (or its log file).
  explicit RunLog(const std::string& console);

  bool has(const std::string& record) const { return index(record) >= 0; }
  /// Position of the first record equal to `record`, -1 when absent.
  int index(const std::string& record) const;
  /// The first record that begins with `prefix`, "" when none does.
  std::string starting_with(const std::string& prefix) const;
  /// True when some record holds `text` anywhere.
  bool mentions(const std::string& text) const;
  const std::vector<std::string>& records() const { return records_; }

 private:
  std::vector<std::string> records_;
};

/// Every record on a line of its own, for failure messages.
std::string dump(const RunLog& log);

}  // namespace quillmere::testing
