#include "quillmere/app/run_report.h"

#include <set>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace quillmere::run_report_test {
namespace {

// Two instances' files in one textfile directory: no sample of one is a
// sample of the other, whatever the project id holds.
TEST(RunMetrics, EverySampleNamesItsProjectSoInstancesNeverCollide) {
  RunRecord record;
  record.end_fatal("GitLab refused GITLAB_TOKEN (HTTP 401)");
  std::set<std::string> samples;
  for (const char* project : {"42", "a\"b\\c"})
    for (const std::string& line : testing::split_lines(run_metrics_text(record, project)))
      if (!line.starts_with("#")) {
        EXPECT_TRUE(samples.insert(line).second) << line;
      }
  EXPECT_TRUE(samples.contains("quillmere_last_run_success{project_id=\"a\\\"b\\\\c\"} 0"));
  EXPECT_TRUE(samples.contains("quillmere_last_run_status{project_id=\"42\",status=\"fatal\"} 1"));
}

}  // namespace
}  // namespace quillmere::run_report_test
