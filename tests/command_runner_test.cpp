#include "quillmere/util/command_runner.h"

#include "quillmere/config/settings.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quillmere/util/error.h"
#include "quillmere/util/output_tail.h"
#include "quillmere/util/text.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::command_runner_test {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;
using testing::ScopedCwd;
using testing::ScopedEnv;
using testing::TempDir;

// A shell script as a command of its own: the runner itself never starts a
// shell, so the tests that need shell syntax ask for one explicitly.
CommandLine sh(const std::string& script) { return CommandLine("sh", {"-c"}).arg(script); }
// What a run hands its children, as the settings read it from the environment.
ChildSetup children() { return read_settings("/").children; }
CommandResult run_program(const CommandLine& command, bool raw_output = false,
                          const std::string* input = nullptr) {
  return quillmere::run_program(command, children(), raw_output, input);
}
CommandResult run_shell(const std::string& script) { return run_program(sh(script)); }
std::string run_command(const std::string& script, bool capture_output = true) {
  return quillmere::run_command(sh(script), children(), capture_output);
}

// The message a failing run_command carries, or "" when it did not fail.
std::string failure_of(const CommandLine& command, const ChildSetup& setup = children()) {
  try {
    quillmere::run_command(command, setup);
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

TEST(RunShell, DrainsMegabytesOnBothStreamsAndKeepsTheirEnds) {
  // Standard error is filled first: a runner that read standard output to the
  // end before looking at standard error would hang here. Of text only the
  // end is kept; file content (raw output) is kept whole on standard output.
  const std::size_t size = 6 * 1024 * 1024;
  const std::string n = std::to_string(size - 4);
  const CommandLine flood =
      sh("head -c " + n + " /dev/zero | tr '\\0' e >&2; echo END >&2; head -c " + n +
         " /dev/zero | tr '\\0' o; echo END");
  for (const bool raw : {false, true}) {
    SCOPED_TRACE(raw ? "raw" : "text");
    const CommandResult result = run_program(flood, raw);
    ASSERT_TRUE(result.succeeded());
    EXPECT_EQ(result.err_bytes, size);
    EXPECT_EQ(result.out_bytes, size);
    EXPECT_EQ(result.err, std::string(kKeptOutputBytes - 4, 'e') + "END\n");
    EXPECT_EQ(result.out.size(), raw ? size : kKeptOutputBytes);
    EXPECT_TRUE(result.out.ends_with("oooEND\n"));
  }
}

TEST(OutputTail, KeepsTheLastBytesFromACharacterOn) {
  OutputTail tail(5);
  for (std::string_view piece : {"a", "\xc3\xa9\xc3", "\xa9\xc3\xa9\xc3\xa9"}) tail.append(piece);
  EXPECT_EQ(tail.total_bytes(), 9u);
  EXPECT_EQ(tail.take(), "\xc3\xa9\xc3\xa9");  // the last 5 bytes began inside an "é"
  OutputTail whole(std::string::npos);
  whole.append("\xa9 kept");
  EXPECT_EQ(whole.take(), "\xa9 kept");
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
              R"(Output of command is not valid UTF-8 text: sh -c 'printf '\''ok\377'\''')");
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
  const CommandLine cmd = sh("echo ignored; echo fatal: rejected >&2; exit 1");
  const std::string expected = "Command failed: " + cmd.text() + "\nError: fatal: rejected\n";
  EXPECT_EQ(failure_of(cmd), expected);
  ASSERT_EQ(log.lines(), std::vector<std::string>{"ERROR - " + expected});

  // Empty stderr leaves nothing after "Error: "; a signal is a failure too.
  EXPECT_EQ(failure_of(sh("exit 1")), "Command failed: sh -c 'exit 1'\nError: ");
  EXPECT_EQ(failure_of(sh("kill -KILL $$")), "Command failed: sh -c 'kill -KILL $$'\nError: ");
  // Standard error is one record: inner line feeds and terminal controls are
  // escaped, the line feed that ends it stays.
  EXPECT_EQ(failure_of(sh(R"(printf 'a\nforged\033[2J\n' >&2; exit 1)")),
            R"(Command failed: sh -c 'printf '\''a\nforged\033[2J\n'\'' >&2; exit 1')"
            "\nError: a\\x0aforged\\x1b[2J\n");
  // Silent on standard error: standard output explains. Megabytes of noise:
  // the last 1,000 characters, and how much there was.
  EXPECT_EQ(failure_of(sh("echo nothing to commit; exit 1")),
            "Command failed: sh -c 'echo nothing to commit; exit 1'\nError: nothing to commit\n");
  const CommandLine noisy = sh("head -c 3000000 /dev/zero | tr '\\0' x >&2; echo ! >&2; exit 1");
  EXPECT_EQ(failure_of(noisy), "Command failed: " + noisy.text() +
                                   "\nError: " + std::string(999, 'x') + "! … (3000002 bytes)\n");
}

TEST(RunCommand, ShowsTheDocumentedCommandLine) {
  EXPECT_EQ(CommandLine("git", {"checkout", "-b"}).arg("dev-ABC-12-web_app").text(),
            "git checkout -b dev-ABC-12-web_app");
  EXPECT_EQ(
      CommandLine("git", {"commit", "-m"}).quoted_arg("ABC-1: onboard x to dev environment").text(),
      "git commit -m \"ABC-1: onboard x to dev environment\"");
  EXPECT_EQ(CommandLine("cp").arg("/requests/it's.yaml").arg("/repo/it's.yaml").argv(),
            (std::vector<std::string>{"cp", "/requests/it's.yaml", "/repo/it's.yaml"}));
}

TEST(RunCommand, AProgramThatCannotBeStartedSaysSo) {
  LogCapture log;
  const CommandLine missing("quillmere-no-such-program", {"status"});
  EXPECT_EQ(run_program(missing).start_error, "No such file or directory");
  EXPECT_EQ(failure_of(missing),
            "Cannot start quillmere-no-such-program: No such file or directory "
            "(command: quillmere-no-such-program status)");
}

TEST(RunCommand, ChildrenGetNoSecretsAndAProcessGroupOfTheirOwn) {
  ScopedEnv env;
  env.set("GITLAB_TOKEN", "glpat-secret");
  env.set("TEAMS_WEBHOOK_URL", "https://teams.invalid/webhookb2/secret");
  env.set("GIT_TERMINAL_PROMPT", std::nullopt);
  env.set("QUILLMERE_RUNNER_PROBE", "kept");
  const std::string seen = run_command("env");
  EXPECT_EQ(seen.find("secret"), std::string::npos) << seen;
  EXPECT_NE(seen.find("QUILLMERE_RUNNER_PROBE=kept"), std::string::npos);
  EXPECT_NE(seen.find("GIT_TERMINAL_PROMPT=0"), std::string::npos);
  // Field 5 of /proc/PID/stat is the process group.
  EXPECT_NE(run_command("cut -d' ' -f5 /proc/$$/stat"), std::to_string(::getpgrp()));
}

TEST(RunShell, StandardInputIsEmptyUnlessTheProgramFeedsIt) {
  EXPECT_EQ(run_shell("cat; echo end").out, "end\n");
  const std::string input(300000, 'q');  // more than a pipe holds
  EXPECT_EQ(run_program(sh("wc -c"), false, &input).out, "300000\n");
  // A child that reads nothing of what it is given is no failure of ours.
  EXPECT_TRUE(run_program(sh("exec 0<&-; sleep 0.1"), false, &input).succeeded());
}

TEST(RunCommand, APastDeadlineEndsTheWholeGroupAndFailsLikeAnyCommand) {
  TempDir dir;
  const std::string pid_file = dir / "pid";
  // Each leaves a process of its group, whose id it notes, to outlive SIGTERM
  // or the command's own process; none may survive the command.
  const std::string rows[] = {
      "sleep 60 & echo $! > " + pid_file + "; wait",
      // Ignores SIGTERM and holds the pipes: SIGKILL after the grace period.
      "trap '' TERM; sleep 60 & echo $! > " + pid_file + "; wait",
      // The shell ends at SIGTERM, closing the pipes; what ignores it goes too.
      "(trap '' TERM; exec sleep 60) >/dev/null 2>&1 & echo $! > " + pid_file + "; wait",
  };
  ChildSetup quick = children();
  quick.timeout_seconds = 1;
  for (const std::string& script : rows) {
    SCOPED_TRACE(script);
    LogCapture log;
    const auto started = std::chrono::steady_clock::now();
    const std::string failure = failure_of(sh(script), quick);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(failure,
              "Command failed: " + sh(script).text() + "\nError: timed out after 1 seconds");
    EXPECT_TRUE(log.contains(LogLevel::Error, failure));
    const std::string pid = testing::read_file(pid_file);
    EXPECT_TRUE(testing::wait_until([&] { return testing::process_gone(trim(pid)); }, 5s)) << pid;
    // Far below the sleep: the command was not waited out.
    EXPECT_LT(took, 30s);
  }
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

TEST(RunCommand, EveryValueReachesTheProgramAsOneLiteralArgument) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  for (const std::string& value : kHostileValues) {
    const CommandResult result = run_program(CommandLine("printf", {"<%s>"}).arg(value));
    ASSERT_TRUE(result.succeeded()) << value;
    EXPECT_EQ(result.out, "<" + value + ">") << value;
  }
  EXPECT_FALSE(testing::file_exists(dir / "PWNED"));
}

// The shown command line reads as the command that ran: pasted into a shell,
// each value is one literal word.
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
}  // namespace quillmere::command_runner_test
