#include "quillmere/config/program_options.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quillmere::program_options_test {
namespace {

struct CommandLineCase {
  std::vector<std::string> args;  // after the program name
  ProgramMode mode;
  std::vector<std::string> files;
  std::string error;  // the UsageError's text, when one is expected
  std::optional<std::string> env_file = std::nullopt;
};

ProgramOptions parse(std::vector<std::string> args) {
  args.insert(args.begin(), "quillmere");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return parse_program_options(static_cast<int>(args.size()), argv.data());
}

TEST(ProgramOptionsTest, CommandLines) {
  const CommandLineCase cases[] = {
      {{}, ProgramMode::Batch, {}, ""},
      {{"--help"}, ProgramMode::Help, {}, ""},
      {{"-h", "--check", "a.yaml"}, ProgramMode::Help, {}, ""},
      {{"--check", "--bogus"}, ProgramMode::Batch, {}, "unknown option '--bogus'"},
      {{"-V"}, ProgramMode::Version, {}, ""},
      {{"--version"}, ProgramMode::Version, {}, ""},
      {{"--check"}, ProgramMode::Check, {}, ""},
      {{"--check", "a.yaml", "dir/b c.yaml"}, ProgramMode::Lint, {"a.yaml", "dir/b c.yaml"}, ""},
      {{"a.yaml", "--check"}, ProgramMode::Lint, {"a.yaml"}, ""},
      {{"--check", "--", "--help.yaml"}, ProgramMode::Lint, {"--help.yaml"}, ""},
      {{"-x"}, ProgramMode::Batch, {}, "unknown option '-x'"},
      {{"--check=a.yaml"}, ProgramMode::Batch, {}, "option '--check' does not take a value"},
      {{"--\x1b[2Jx"}, ProgramMode::Batch, {}, "unknown option '--\\x1b[2Jx'"},
      {{"--env-file", "/etc/q.env", "--check"}, ProgramMode::Check, {}, "", "/etc/q.env"},
      {{"--env-file=q.env"}, ProgramMode::Batch, {}, "", "q.env"},
      {{"--check", "--env-file"}, ProgramMode::Batch, {}, "option '--env-file' needs a file name"},
  };
  for (const CommandLineCase& c : cases) {
    std::string shown;
    for (const std::string& arg : c.args) shown += " " + arg;
    SCOPED_TRACE("quillmere" + shown);
    if (!c.error.empty()) {
      try {
        parse(c.args);
        ADD_FAILURE() << "no usage error";
      } catch (const UsageError& failure) {
        EXPECT_EQ(failure.what(), c.error);
      }
      continue;
    }
    const ProgramOptions options = parse(c.args);
    EXPECT_EQ(options.mode, c.mode);
    EXPECT_EQ(options.files, c.files);
    EXPECT_EQ(options.env_file, c.env_file);
  }
}

}  // namespace
}  // namespace quillmere::program_options_test
