#include "quillmere/config/settings_file.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::settings_file_test {
namespace {

// Each file is made in a fresh directory by a shell line; giving a file to
// another user (65534) needs root.
TEST(ReadSettingsFile, ReadsOnlyWhatTheOperatorWrote) {
  const std::string self = std::to_string(::geteuid());
  const std::string not_ours = ", not by root or by the user quillmere runs as (uid " + self + ")";
  const struct {
    const char* make;  // in the directory; the file is its "s.env"
    std::string refusal;
  } cases[] = {
      {"echo A=1 > s.env && chmod 600 s.env", ""},
      {"echo A=1 > s.env && chmod 644 s.env", ""},
      {"echo A=1 > s.env && chmod 664 s.env",
       "it is writable by others than its owner (mode 0664)"},
      {"echo A=1 > s.env && chmod 606 s.env",
       "it is writable by others than its owner (mode 0606)"},
      {"true", "it cannot be opened: No such file or directory"},
      {"mkfifo s.env", "it is not a regular file"},
      {"git init -q . && echo A=1 > s.env && git add s.env",
       "it is tracked by git in the repository "},
      {"git init -q . && echo A=1 > s.env && echo s.env > .gitignore", ""},
      {"echo A=1 > s.env && chown 65534 s.env", "it is owned by uid 65534" + not_ours},
      {"echo A=1 > real && ln -s real s.env && chown -h 65534 s.env",
       "its symbolic link is owned by uid 65534" + not_ours},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.make);
    if (std::string(c.make).find("chown") != std::string::npos && ::geteuid() != 0) continue;
    testing::TempDir dir;
    testing::sh(c.make, dir.path());
    const SettingsFileText file = read_settings_file(dir / "s.env");
    const std::string expected =
        c.refusal.ends_with("repository ") ? c.refusal + dir.path() : c.refusal;
    EXPECT_EQ(file.refusal.value_or(""), expected);
    EXPECT_EQ(file.text, c.refusal.empty() ? std::optional<std::string>("A=1\n") : std::nullopt);
  }
}

}  // namespace
}  // namespace quillmere::settings_file_test
