#include "quillmere/config/settings_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "quillmere/config/dotenv.h"
#include "quillmere/config/environment.h"

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere {
namespace {

using testing::TempDir;

// What another user's file looks like; only root can make one.
constexpr uid_t kOtherUid = 65534;

TEST(ReadSettingsFile, ReadsOnlyWhatTheOperatorWrote) {
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> make;  // the file at `path`
    std::string refusal;                                // "" when the file is read
    bool needs_root = false;
  };
  const std::string self = std::to_string(::geteuid());
  const auto plain = [](const std::string& path) { testing::write_file(path, "A=1\n"); };
  const auto with_mode = [&](mode_t mode) {
    return [&, mode](const std::string& path) {
      plain(path);
      ::chmod(path.c_str(), mode);
    };
  };
  const Case cases[] = {
      {"the operator's, 0600", with_mode(0600), ""},
      {"readable by all, 0644", with_mode(0644), ""},
      {"group-writable", with_mode(0664), "it is writable by others than its owner (mode 0664)"},
      {"world-writable", with_mode(0606), "it is writable by others than its owner (mode 0606)"},
      {"missing", [](const std::string&) {}, "it cannot be opened: No such file or directory"},
      {"a FIFO", [](const std::string& path) { ::mkfifo(path.c_str(), 0600); },
       "it is not a regular file"},
      {"another user's",
       [&](const std::string& path) {
         plain(path);
         ASSERT_EQ(::chown(path.c_str(), kOtherUid, static_cast<gid_t>(-1)), 0);
       },
       "it is owned by uid 65534, not by root or by the user quillmere runs as (uid " + self + ")",
       true},
      {"another user's link to the operator's file",
       [&](const std::string& path) {
         plain(path + ".real");
         ASSERT_EQ(::symlink((path + ".real").c_str(), path.c_str()), 0);
         ASSERT_EQ(::lchown(path.c_str(), kOtherUid, static_cast<gid_t>(-1)), 0);
       },
       "its symbolic link is owned by uid 65534, not by root or by the user quillmere runs as "
       "(uid " +
           self + ")",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needs_root && ::geteuid() != 0) continue;  // cannot give a file away
    TempDir dir;
    const std::string path = dir / "settings.env";
    c.make(path);
    const SettingsFileText file = read_settings_file(path);
    EXPECT_EQ(file.refusal.value_or(""), c.refusal);
    EXPECT_EQ(file.text.has_value(), c.refusal.empty());
  }
}

TEST(ReadSettingsFile, RefusesAFileGitTracksAndNothingElseInTheRepository) {
  TempDir dir;
  testing::sh(
      "git init -q repo && mkdir repo/ci && echo A=1 > repo/ci/.env && "
      "echo A=2 > repo/local.env && git -C repo add ci/.env",
      dir.path());
  EXPECT_EQ(read_settings_file(dir / "repo/ci/.env").refusal,
            "it is tracked by git in the repository " + (dir / "repo"));
  EXPECT_EQ(read_settings_file(dir / "repo/local.env").text, "A=2\n");
  EXPECT_EQ(tracked_by_git(dir / "repo/../repo/ci/.env"),
            "it is tracked by git in the repository " + (dir / "repo"));
}

TEST(LoadSettingsFile, LoadsNothingOfARefusedFileAndSaysWhy) {
  TempDir dir;
  testing::make_dir(dir / "start");
  testing::write_file(dir / ".env", "QM_TEST_PROXY=http://mallory.example:3128\n");
  ::chmod((dir / ".env").c_str(), 0666);
  testing::ScopedEnv env;
  env.set("QM_TEST_PROXY", std::nullopt);
  const LoadedSettingsFile found = load_settings_file(dir / "start", std::nullopt);
  EXPECT_EQ(env_value("QM_TEST_PROXY"), std::nullopt);
  EXPECT_EQ(settings_file_warning(found), "⚠️ Not reading settings from " + (dir / ".env") +
                                              ": it is writable by others than its owner (mode "
                                              "0666)");
  // --env-file takes that file alone: no .env is looked for.
  testing::write_file(dir / "named.env", "QM_TEST_PROXY=named\n");
  const LoadedSettingsFile named = load_settings_file(dir / "start", dir / "named.env");
  EXPECT_EQ(named.refusal, std::nullopt);
  EXPECT_EQ(env_value("QM_TEST_PROXY"), "named");
}

}  // namespace
}  // namespace quillmere
