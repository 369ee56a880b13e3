#include "quillmere/util/atomic_file.h"

#include <dirent.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "quillmere/util/error.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/scratch_dir.h"
#include "tests/support/fsync_control.h"
#include "tests/support/matchers.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::atomic_file_test {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* listing = ::opendir(dir.c_str());
  while (const dirent* entry = listing ? ::readdir(listing) : nullptr)
    if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
      names.emplace_back(entry->d_name);
  if (listing) ::closedir(listing);
  return names;
}

TEST(AtomicFile, FlushesBeforeTheRenameAndTakesOverWhatAKilledWriterLeft) {
  TempDir dir;
  // The longest name a file system takes: the temporary name must not grow it.
  const std::string path = dir / std::string(255, 'r');
  write_file(path, "old");

  testing::fail_fsync(true);
  EXPECT_THROW(write_file_atomically(path, "new"), OnboardingError);
  testing::fail_fsync(false);
  EXPECT_EQ(read_file(path), "old");
  EXPECT_THAT(entries(dir.path()), ElementsAre(std::string(255, 'r')));

  // A run killed between writing and renaming left its temporary file,
  // under a short name that the next write takes over.
  const std::string leftover = temporary_path_for(path);
  EXPECT_LE(leftover.size() - dir.path().size(), 30u);
  write_file(leftover, "half of an older report that is much longer");
  testing::reset_fsync_calls();
  write_file_atomically(path, "new");
  EXPECT_EQ(testing::fsync_calls(), 2);  // the file, then its directory
  EXPECT_EQ(read_file(path), "new");
  EXPECT_THAT(entries(dir.path()), ElementsAre(std::string(255, 'r')));
}

TEST(ScratchDir, IsRemovedWithItsOwnerAndALeftoverNobodyHoldsByTheNext) {
  TempDir parent;
  // A directory of a killed run: no lock held, older than a minute.
  const std::string leftover = parent / "quillmere-scratch-Xy12Zw";
  testing::make_dir(leftover);
  write_file(leftover + "/request.yaml", "owner: x\n");
  testing::sh("touch -d '2 minutes ago' " + leftover);
  {
    const ScratchDir first(parent.path());
    first.write("0/a.yaml", "a");
    EXPECT_EQ(read_file(first.path() + "/0/a.yaml"), "a");
    EXPECT_THAT(entries(parent.path()), ElementsAre(last_path_component(first.path())));
    testing::sh("touch -d '2 minutes ago' " + first.path());
    const ScratchDir second(parent.path());  // the first is held: it stays
    EXPECT_EQ(entries(parent.path()).size(), 2u);
  }
  EXPECT_THAT(entries(parent.path()), IsEmpty());
}

}  // namespace
}  // namespace quillmere::atomic_file_test
