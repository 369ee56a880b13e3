#include "quillmere/command_runner.h"

#include <signal.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quillmere/types.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere {
namespace {

using testing::LogCapture;
using testing::ScopedCwd;
using testing::ScopedEnv;
using testing::TempDir;

// The message a failing run_command carries, or "" when it did not fail.
std::string failure_of(const std::string& cmd) {
  try {
    run_command(cmd);
  } catch (const OnboardingError& error) {
    return error.what();
  }
  return "";
}

TEST(RunShell, ReportsExitStatusAndSignal) {
  const CommandResult exited = run_shell("exit 3");
  EXPECT_EQ(exited.exit_status, 3);
  EXPECT_EQ(exited.signal, 0);
  EXPECT_FALSE(exited.succeeded());

  const CommandResult killed = run_shell("echo partial; kill -TERM $$");
  EXPECT_EQ(killed.signal, SIGTERM);
  EXPECT_EQ(killed.exit_status, -1);
  EXPECT_EQ(killed.out, "partial\n");
  EXPECT_FALSE(killed.succeeded());

  EXPECT_TRUE(run_shell("true").succeeded());
}

TEST(RunShell, CapturesStreamsSeparatelyAndNormalisesLineEndings) {
  const CommandResult result =
      run_shell("printf 'one\\r\\ntwo\\rthree\\n'; printf 'bad\\r\\n' >&2");
  EXPECT_EQ(result.out, "one\ntwo\nthree\n");
  EXPECT_EQ(result.err, "bad\n");
}

TEST(RunShell, DrainsMegabytesOnBothStreamsWithoutDeadlock) {
  // Standard error is filled first: a runner that read standard output to the
  // end before looking at standard error would hang here.
  const std::size_t size = 6 * 1024 * 1024;
  const std::string n = std::to_string(size);
  const CommandResult result = run_shell("head -c " + n + " /dev/zero | tr '\\0' e >&2; head -c " +
                                         n + " /dev/zero | tr '\\0' o");
  ASSERT_TRUE(result.succeeded());
  EXPECT_EQ(result.err.size(), size);
  EXPECT_EQ(result.out.size(), size);
  EXPECT_EQ(result.err.find_first_not_of('e'), std::string::npos);
  EXPECT_EQ(result.out.find_first_not_of('o'), std::string::npos);
}

TEST(RunShell, ChildGetsDefaultSigpipeEvenWhenTheParentIgnoresIt) {
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
  // With an inherited SIG_IGN, "yes" would see EPIPE and complain on stderr.
  const CommandResult result = run_shell("yes | head -n 1");
  ::sigaction(SIGPIPE, &previous, nullptr);
  EXPECT_TRUE(result.succeeded());
  EXPECT_EQ(result.out, "y\n");
  EXPECT_EQ(result.err, "");
}

TEST(RunShell, RunsInTheCurrentDirectoryWithTheProcessEnvironment) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  ScopedEnv env;
  env.set("QUILLMERE_RUNNER_PROBE", "value with blanks");
  EXPECT_EQ(run_command("pwd"), dir.path());
  EXPECT_EQ(run_command("printf %s \"$QUILLMERE_RUNNER_PROBE\""), "value with blanks");
}

TEST(RunShell, OutputThatIsNotUtf8FailsWithoutTheCommandFailedWording) {
  LogCapture log;
  try {
    run_shell("printf 'ok\\377'");
    FAIL() << "invalid UTF-8 was accepted";
  } catch (const OnboardingError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Output of command is not valid UTF-8 text: printf 'ok\\377'");
  }
  EXPECT_EQ(run_shell("printf 'caf\\303\\251 \\360\\237\\232\\200'").out, "café 🚀");
}

TEST(RunCommand, TrimsCapturedOutputAndKeepsInnerLineFeeds) {
  EXPECT_EQ(run_command("printf '  feature-x\\n'"), "feature-x");
  EXPECT_EQ(run_command("printf '\\n\\tline one\\nline two \\r\\n\\n'"), "line one\nline two");
  EXPECT_EQ(run_command("printf '  feature-x\\n'", false), "");
  EXPECT_EQ(run_command("echo a && echo b > /dev/null && echo c"), "a\nc");
}

TEST(RunCommand, FailureCarriesCommandAndStderrExactlyAndLogsIt) {
  LogCapture log;
  const std::string cmd = "echo ignored; echo 'fatal: rejected' >&2; exit 1";
  const std::string expected = "Command failed: " + cmd + "\nError: fatal: rejected\n";
  EXPECT_EQ(failure_of(cmd), expected);
  ASSERT_EQ(log.lines(), std::vector<std::string>{"ERROR - " + expected});

  // Empty stderr leaves nothing after "Error: "; a signal is a failure too.
  EXPECT_EQ(failure_of("exit 1"), "Command failed: exit 1\nError: ");
  EXPECT_EQ(failure_of("kill -KILL $$"), "Command failed: kill -KILL $$\nError: ");
}

TEST(RunCommand, StderrOfASuccessfulCommandIsDiscardedSilently) {
  LogCapture log;
  EXPECT_EQ(run_command("echo out; echo warning >&2"), "out");
  EXPECT_TRUE(log.records().empty());
}

TEST(ShellWord, PlainValuesStayUnchanged) {
  for (const std::string plain : {"dev", "dev-ABC-12-web_app", "a/b.c@d+e=f:g,h%", "-n"})
    EXPECT_EQ(shell_word(plain), plain);
  EXPECT_EQ(shell_word(""), "''");
  EXPECT_EQ(shell_word("it's"), "'it'\\''s'");
}

// Values that would run something, split into words or vanish if they were
// pasted into a command line unprotected.
const std::vector<std::string> kHostileValues = {"",
                                                 "two words",
                                                 "it's",
                                                 "''",
                                                 "$(touch PWNED)",
                                                 "`touch PWNED`",
                                                 "x;touch PWNED",
                                                 "a&&b",
                                                 "a|b",
                                                 "> out",
                                                 "$HOME",
                                                 "${IFS}",
                                                 "\\",
                                                 "\"",
                                                 "\\\"",
                                                 "line\nbreak",
                                                 "\ttab",
                                                 "*",
                                                 "?",
                                                 "[a]",
                                                 "~",
                                                 "!x",
                                                 "#comment",
                                                 "-n",
                                                 "--help",
                                                 "café ü",
                                                 "a'b'c\"d\"e",
                                                 "$'x'",
                                                 "%s%n",
                                                 "{a,b}"};

TEST(ShellWord, EveryValueReachesTheCommandAsOneLiteralWord) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  for (const std::string& value : kHostileValues) {
    // Two words around the value prove it did not split or disappear.
    const CommandResult result = run_shell("printf '<%s>' " + shell_word(value));
    ASSERT_TRUE(result.succeeded()) << value;
    EXPECT_EQ(result.out, "<" + value + ">") << shell_word(value);
    const CommandResult count = run_shell("set -- " + shell_word(value) + "; echo $#");
    EXPECT_EQ(count.out, "1\n") << value;
  }
  EXPECT_FALSE(testing::file_exists(dir / "PWNED"));
  EXPECT_FALSE(testing::file_exists(dir / "out"));
}

TEST(EscapeForDoubleQuotes, ValuesSurviveInsideDoubleQuotesLiterally) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  for (const std::string& value : kHostileValues) {
    const CommandResult result =
        run_shell("printf '<%s>' \"" + escape_for_double_quotes(value) + "\"");
    ASSERT_TRUE(result.succeeded()) << value;
    EXPECT_EQ(result.out, "<" + value + ">") << escape_for_double_quotes(value);
  }
  EXPECT_EQ(escape_for_double_quotes("ABC-12: onboard web_app to dev environment"),
            "ABC-12: onboard web_app to dev environment");
  EXPECT_FALSE(testing::file_exists(dir / "PWNED"));
}

}  // namespace
}  // namespace quillmere
