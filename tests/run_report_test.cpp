#include "quillmere/app/run_report.h"

#include <set>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace quillmere {
namespace {

// Every sample of two instances' files is distinct, as the node exporter
// needs them to be in one textfile directory; a fatal run shows its status.
TEST(RunMetrics, EverySampleNamesItsProjectSoInstancesNeverCollide) {
  RunRecord record;
  record.list_files({"a.yaml"});
  record.end_fatal("GitLab refused GITLAB_TOKEN (HTTP 401)");
  std::set<std::string> samples;
  size_t count = 0;
  for (const char* project : {"42", "platform%2F\"odd\"\\name"}) {
    for (const std::string& line : testing::split_lines(run_metrics_text(record, project))) {
      if (line.starts_with("#")) continue;
      ++count;
      samples.insert(line.substr(0, line.rfind(' ')));
    }
  }
  EXPECT_EQ(samples.size(), count);
  EXPECT_TRUE(samples.contains("quillmere_last_run_success{project_id=\"42\"}"));
  EXPECT_TRUE(
      samples.contains("quillmere_last_run_files{project_id=\"platform%2F\\\"odd\\\"\\\\name\","
                       "outcome=\"failed\"}"));
  const std::string text = run_metrics_text(record, "42");
  EXPECT_NE(text.find("\nquillmere_last_run_status{project_id=\"42\",status=\"fatal\"} 1\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\nquillmere_last_run_status{project_id=\"42\",status=\"completed\"} 0\n"),
            std::string::npos);
}

}  // namespace
}  // namespace quillmere
