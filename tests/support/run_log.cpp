#include "tests/support/run_log.h"

#include <algorithm>

#include "tests/support/process.h"

namespace quillmere::testing {

RunLog::RunLog(const std::string& console) : records_(log_records(console)) {}

int RunLog::index(const std::string& record) const {
  const auto found = std::find(records_.begin(), records_.end(), record);
  return found == records_.end() ? -1 : static_cast<int>(found - records_.begin());
}

std::string RunLog::starting_with(const std::string& prefix) const {
  for (const auto& record : records_)
    if (record.starts_with(prefix)) return record;
  return "";
}

bool RunLog::mentions(const std::string& text) const {
  return std::any_of(records_.begin(), records_.end(), [&](const std::string& record) {
    return record.find(text) != std::string::npos;
  });
}

std::string dump(const RunLog& log) {
  std::string text;
  for (const auto& record : log.records()) text += record + "\n";
  return text;
}

}  // namespace quillmere::testing
