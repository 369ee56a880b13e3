#include "quillmere/app/done_dir.h"

#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quillmere/util/error.h"
#include "tests/support/fsync_control.h"
#include "tests/support/temp_dir.h"

namespace quillmere::done_dir_test {
namespace {

using testing::file_exists;
using testing::make_dir;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

bool is_other_file_system(const std::string& a, const std::string& b) {
  struct stat first {
  }, second{};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
         first.st_dev != second.st_dev;
}

// A file moved into a DONE_DIR that already holds `taken` names of its kind
// keeps its bytes, gets the next free name and leaves nothing behind, on the
// same file system (a rename) and across file systems (a copy, then removal).
TEST(DoneDirTest, MovesWithoutEverOverwriting) {
  TempDir here;
  TempDir shared_memory("/dev/shm");
  struct Case {
    const TempDir* source_side;
    int already_there;
    std::string expected_name;
  };
  const std::vector<Case> cases = {
      {&here, 0, "ABC-1_dev_web.yaml"},
      {&here, 2, "ABC-1_dev_web-3.yaml"},
      {&shared_memory, 0, "ABC-1_dev_web.yaml"},
      {&shared_memory, 1, "ABC-1_dev_web-2.yaml"},
  };
  if (!is_other_file_system(here.path(), shared_memory.path()))
    GTEST_SKIP() << "/dev/shm is not another file system here";
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source_side->path() + ", " + std::to_string(c.already_there) + " there");
    const std::string done = here / ("done-" + std::to_string(++round));
    make_dir(done);
    for (int i = 1; i <= c.already_there; ++i)
      write_file(
          done + "/" +
              (i == 1 ? "ABC-1_dev_web.yaml" : "ABC-1_dev_web-" + std::to_string(i) + ".yaml"),
          "older " + std::to_string(i));
    const std::string source = *c.source_side / "ABC-1_dev_web.yaml";
    write_file(source, "ticket: ABC-1\n");

    EXPECT_EQ(move_to_done_dir(source, done), c.expected_name);
    EXPECT_FALSE(file_exists(source));
    EXPECT_EQ(read_file(done + "/" + c.expected_name), "ticket: ABC-1\n");
    if (c.already_there > 0) {
      EXPECT_EQ(read_file(done + "/ABC-1_dev_web.yaml"), "older 1");
    }
  }
}

TEST(DoneDirTest, AFailedMoveLeavesTheFile) {
  TempDir dir;
  write_file(dir / "a.yaml", "x");
  EXPECT_THROW(move_to_done_dir(dir / "a.yaml", dir / "missing"), OnboardingError);
  EXPECT_EQ(read_file(dir / "a.yaml"), "x");

  // Across file systems the original goes only once its copy is on disk.
  TempDir shared_memory("/dev/shm");
  if (!is_other_file_system(dir.path(), shared_memory.path())) return;
  write_file(shared_memory / "a.yaml", "x");
  make_dir(dir / "done");
  testing::fail_fsync(true);
  EXPECT_THROW(move_to_done_dir(shared_memory / "a.yaml", dir / "done"), OnboardingError);
  testing::fail_fsync(false);
  EXPECT_EQ(read_file(shared_memory / "a.yaml"), "x");
  EXPECT_FALSE(file_exists(dir / "done/a.yaml"));
}

TEST(DoneDirTest, RefusesPlacesWhereFilesWouldComeBackOrLandInTheRepository) {
  TempDir dir;
  make_dir(dir / "repo");
  make_dir(dir / "repo/.git");
  make_dir(dir / "requests");
  const std::pair<std::string, std::string> cases[] = {
      {"done", ""},
      {"requests/done", ""},
      {"requests", "DONE_DIR must not be YAML_DIR itself: "},
      {"requests/../requests/.", "DONE_DIR must not be YAML_DIR itself: "},
      {"repo", "DONE_DIR must not lie inside the working copy: "},
      {"repo/not-yet/done", "DONE_DIR must not lie inside the working copy: "},
      {"elsewhere/../repo/x", "DONE_DIR must not lie inside the working copy: "},
      {"repo-done", ""},
  };
  for (const auto& [done_dir, error] : cases) {
    SCOPED_TRACE(done_dir);
    Settings settings;
    settings.repo_dir = dir / "repo";
    settings.request_dir = dir / "requests";
    settings.done_dir = done_dir;
    settings.done_dir_path = dir / done_dir;
    try {
      validate_done_dir(settings);
      EXPECT_EQ(error, "");
    } catch (const OnboardingError& failure) {
      EXPECT_EQ(failure.what(), error + done_dir);
    }
  }
}

}  // namespace
}  // namespace quillmere::done_dir_test
