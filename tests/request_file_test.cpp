#include "quillmere/request/request_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quillmere/util/text.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::request_file_test {
namespace {

using ::testing::ElementsAre;
using testing::LogCapture;
using testing::TempDir;
using testing::write_file;

constexpr const char* kValidName = "ABC-12_dev_web_app.yaml";
const std::string kFromValidName =
    "INFO - Parsed from filename: Ticket=ABC-12, Environment=dev, Project=web_app";
const OnboardingRequest kValidNameRequest{"ABC-12", "dev", "web_app"};

class RequestFileTest : public ::testing::Test {
 protected:
  // Writes `content` under `name` and parses it.
  // Writes `content` under `name` and loads it as the batch does, logging
  // where its values came from.
  OnboardingRequest parse(const std::string& name, const std::string& content) {
    write_file(dir_ / name, content);
    const RequestFile file = load_request_file(dir_ / name);
    log_parse_notes(file.parsed.notes);
    file.require_request();
    return file.request;
  }
  // The request a file of this name and no content names, its notes logged.
  static OnboardingRequest parse_name(const std::string& name) {
    const ParsedRequest parsed = parse_request_explained(name, "");
    log_parse_notes(parsed.notes);
    if (!parsed.request) throw InvalidRequestFileError(parsed.name_problem);
    return *parsed.request;
  }

  TempDir dir_;
  LogCapture log_;
};

TEST_F(RequestFileTest, ContentDecidesWhateverTheName) {
  const auto request = parse("notes.yaml", "ticket: OPS-1\nenvironment: Prod\nproject: billing\n");
  EXPECT_EQ(request, (OnboardingRequest{"OPS-1", "prod", "billing"}));
  EXPECT_THAT(log_.lines(),
              ElementsAre("INFO - Using data from YAML content: OPS-1, Prod, billing"));
}

TEST_F(RequestFileTest, SecondKeysStandInForAbsentFirstOnes) {
  for (const std::string absent : {"", "~", "''", "false", "no", "0", "0.0", "0x0", "[]", "{}"}) {
    const auto request =
        parse("x.yaml", "ticket: " + absent + "\njira_ticket: OPS-7\n" +
                            "environment: dev\nproject: " + absent + "\nproject_name: svc\n");
    EXPECT_EQ(request, (OnboardingRequest{"OPS-7", "dev", "svc"})) << absent;
  }
  // A present first key wins over the second.
  EXPECT_EQ(parse("x.yaml", "ticket: A-1\njira_ticket: B-2\nenvironment: dev\nproject: p\n").ticket,
            "A-1");
}

TEST_F(RequestFileTest, IncompleteContentIsIgnoredAndNeverMixed) {
  for (const std::string content :
       {"ticket: OPS-1\nproject: billing\n", "ticket: OPS-1\nenvironment: ''\nproject: x\n",
        "ticket: OPS-1\nenvironment: dev\nproject_name: ~\n"}) {
    log_.clear();
    EXPECT_EQ(parse(kValidName, content), kValidNameRequest) << content;
    EXPECT_THAT(log_.lines(), ElementsAre(kFromValidName)) << content;
  }
}

TEST_F(RequestFileTest, EmptyOrAbsentTopLevelLeavesItToTheName) {
  for (const std::string content :
       {"", "# nothing\n", "---\n", "[]\n", "{}\n", "~\n", "0\n", "false\n", "''\n"}) {
    log_.clear();
    EXPECT_EQ(parse(kValidName, content), kValidNameRequest) << content;
    EXPECT_THAT(log_.lines(), ElementsAre(kFromValidName)) << content;
  }
}

TEST_F(RequestFileTest, UnusableContentFallsBackToTheNameOrFails) {
  const std::string complete = "ticket: OPS-1\nenvironment: dev\nproject: x\n";
  const std::vector<std::string> unusable = {
      "ticket: [OPS-1\n",                                 // malformed
      complete + "---\nticket: OPS-2\n",                  // two documents
      complete + "---\n",                                 // a second, empty document
      ",\n",                                              // stray comma; looped in yaml-cpp
      "- ticket: OPS-1\n",                                // top-level list
      "just text\n",                                      // top-level scalar
      complete + "note: caf\xe9\n",                       // Latin-1, not UTF-8
      complete + "note: a\x01z\n",                        // control character
      complete + "note: !custom x\n",                     // tag outside the standard set
      complete + "due: 2024-02-30\n",                     // no such date
      complete + "count: !!int many\n",                   // value the tag cannot hold
      complete + "? [a, b]\n: list as key\n",             // unhashable key
      complete + "other: =\n",                            // "=" is only a key
      "ticket: [OPS-1]\nenvironment: dev\nproject: x\n",  // list as ticket
  };
  for (const std::string& content : unusable) {
    log_.clear();
    EXPECT_EQ(parse(kValidName, content), kValidNameRequest) << content;
    EXPECT_THAT(log_.lines(), ElementsAre(kFromValidName)) << content;
    EXPECT_THROW(parse("request.yaml", content), InvalidRequestFileError) << content;
  }
}

// Anything but a regular file of at most 1 MiB is refused before a byte of it
// is read: a link could publish any file the service can read, a FIFO would
// block the run for ever.
TEST_F(RequestFileTest, OnlyRegularFilesOfAtMostOneMebibyteAreRead) {
  write_file(dir_ / "target.yaml", "ticket: A-1\n");
  testing::make_dir(dir_ / "dir.yaml");
  testing::sh("ln -s target.yaml link.yaml && mkfifo fifo.yaml", dir_.path());
  write_file(dir_ / "big.yaml", std::string(kMaxRequestFileBytes + 1, '#'));
  write_file(dir_ / "limit.yaml", std::string(kMaxRequestFileBytes, '#'));
  const std::string tail = "; nothing of it is read, copied or committed";
  const struct {
    const char* name;
    std::string refusal;
  } cases[] = {
      {"link.yaml", "it is a symbolic link"},
      {"fifo.yaml", "it is a FIFO"},
      {"dir.yaml", "it is a directory"},
      {"missing.yaml", "it cannot be opened: No such file or directory"},
      {"big.yaml", "it holds 1048577 bytes, more than the limit of 1048576 (1 MiB)"},
  };
  for (const auto& c : cases) {
    try {
      read_request_file(dir_ / c.name);
      ADD_FAILURE() << "read " << c.name;
    } catch (const OnboardingError& error) {
      EXPECT_EQ(std::string(error.what()),
                "Refusing request file " + std::string(c.name) + ": " + c.refusal + tail);
    }
  }
  EXPECT_EQ(read_request_file(dir_ / "limit.yaml").size(), kMaxRequestFileBytes);
  EXPECT_EQ(read_request_file(dir_ / "target.yaml"), "ticket: A-1\n");
}

TEST_F(RequestFileTest, EnvironmentThatIsNotTextIsLoggedThenTheNameDecides) {
  for (const std::string env : {"42", "yes", "2024-01-01", "[dev]", "{a: b}"}) {
    log_.clear();
    EXPECT_EQ(parse(kValidName, "ticket: OPS-1\nenvironment: " + env + "\nproject: x\n"),
              kValidNameRequest);
    EXPECT_THAT(
        log_.lines(),
        ElementsAre("INFO - Using data from YAML content: OPS-1, " + env + ", x", kFromValidName));
  }
}

TEST_F(RequestFileTest, QuotedAndStrTaggedScalarsAreText) {
  EXPECT_EQ(parse("x.yaml", "ticket: OPS-1\nenvironment: \"YES\"\nproject: x\n").environment,
            "yes");
  EXPECT_EQ(parse("x.yaml", "ticket: OPS-1\nenvironment: !!str 123\nproject: x\n").environment,
            "123");
  EXPECT_EQ(parse("x.yaml", "ticket: '0'\nenvironment: dev\nproject: x\n").ticket, "0");
}

TEST_F(RequestFileTest, TicketsAndProjectsKeepTheTextTheyAreWrittenWith) {
  EXPECT_EQ(parse("x.yaml", "ticket: 0123\nenvironment: dev\nproject: 1e3\n"),
            (OnboardingRequest{"0123", "dev", "1e3"}));
  EXPECT_EQ(parse("x.yaml", "ticket: yes\nenvironment: dev\nproject: 2024-01-01\n"),
            (OnboardingRequest{"yes", "dev", "2024-01-01"}));
  EXPECT_EQ(parse("x.yaml", "ticket: !!int 0x1F\nenvironment: dev\nproject: 1_000.50\n"),
            (OnboardingRequest{"0x1F", "dev", "1_000.50"}));
  // No trimming of quoted values.
  EXPECT_EQ(parse("x.yaml", "ticket: ' OPS-1 '\nenvironment: dev\nproject: x\n").ticket, " OPS-1 ");
}

TEST_F(RequestFileTest, ReadsMapsTheWayStandardLoadersBuildThem) {
  // The last of duplicate keys wins.
  EXPECT_EQ(parse("x.yaml", "ticket: A-1\nticket: A-2\nenvironment: dev\nproject: x\n").ticket,
            "A-2");
  // Merge keys bring in pairs; the map's own pairs win over merged ones.
  EXPECT_EQ(parse("x.yaml",
                  "base: &b {ticket: A-1, environment: dev, project: old}\n<<: *b\nproject: new\n"),
            (OnboardingRequest{"A-1", "dev", "new"}));
  // CR LF line ends do not leak into the values.
  EXPECT_EQ(parse("x.yaml", "ticket: A-1\r\nenvironment: dev\r\nproject: x\r\n"),
            (OnboardingRequest{"A-1", "dev", "x"}));
  // A list that contains itself is logged without looping.
  log_.clear();
  EXPECT_EQ(parse(kValidName, "ticket: A-1\nenvironment: &e [*e]\nproject: x\n"),
            kValidNameRequest);
  EXPECT_EQ(log_.lines().front(), "INFO - Using data from YAML content: A-1, [...], x");
}

TEST_F(RequestFileTest, NestedAliasesAndMergesDoNotMultiply) {
  // Ten to the ninth list items and merged pairs if expanded naively.
  std::string content = "l0: &l0 [x, x, x, x, x, x, x, x, x, x]\nm0: &m0 {ticket: A-1}\n";
  for (int i = 1; i < 10; ++i) {
    const std::string l = "*l" + std::to_string(i - 1), m = "*m" + std::to_string(i - 1);
    content += "l" + std::to_string(i) + ": &l" + std::to_string(i) + " [" + l + ", " + l + ", " +
               l + ", " + l + ", " + l + ", " + l + ", " + l + ", " + l + ", " + l + ", " + l +
               "]\n";
    content += "m" + std::to_string(i) + ": &m" + std::to_string(i) + " {<<: [" + m + ", " + m +
               ", " + m + ", " + m + ", " + m + ", " + m + ", " + m + ", " + m + ", " + m + ", " +
               m + "]}\n";
  }
  content += "<<: *m9\nenvironment: *l9\nproject: x\n";
  EXPECT_EQ(parse(kValidName, content), kValidNameRequest);
  EXPECT_LT(log_.lines().front().size(), 2000u);
}

TEST_F(RequestFileTest, MergeChainsNestOnlySoDeep) {
  // Each map merges the one before; a flat text, but as deep as it is long.
  const auto merge_chain = [](int depth) {
    std::string content = "m0: &m0 {ticket: A-1, environment: dev, project: x}\n";
    for (int i = 1; i < depth; ++i)
      content += "m" + std::to_string(i) + ": &m" + std::to_string(i) + " {<<: *m" +
                 std::to_string(i - 1) + "}\n";
    return content + "<<: *m" + std::to_string(depth - 1) + "\n";
  };
  EXPECT_EQ(parse(kValidName, merge_chain(100)), (OnboardingRequest{"A-1", "dev", "x"}));
  // Refused: a long enough chain (50,000) overflowed the stack and killed the run.
  EXPECT_EQ(parse(kValidName, merge_chain(1000)), kValidNameRequest);
}

TEST_F(RequestFileTest, FileNamesThatMatch) {
  struct Accepted {
    std::string name;
    OnboardingRequest request;
  };
  for (const auto& [name, request] : std::vector<Accepted>{
           {"ABC-12_DEV_svc.api.yaml", {"ABC-12", "dev", "svc.api"}},
           {"A-1_Prod_a_b_c.yaml.yaml", {"A-1", "prod", "a_b_c.yaml"}},
           {"ABC-007_dev_web app.yaml", {"ABC-007", "dev", "web app"}},
           {"ABC-12_dev_.yaml.yaml", {"ABC-12", "dev", ".yaml"}},
       })
    EXPECT_EQ(parse_name(name), request) << name;
  // The log shows the environment as written in the name.
  EXPECT_EQ(log_.lines().front(),
            "INFO - Parsed from filename: Ticket=ABC-12, Environment=DEV, Project=svc.api");
}

TEST_F(RequestFileTest, FileNamesThatDoNotMatch) {
  for (const std::string name :
       {"abc-12_dev_x.yaml", "ABC12_dev_x.yaml", "ABC-12_dev2_x.yaml", "ABC-12_dev_.yaml",
        "ABC-12_dev_x.yml", "ABC-12_dev_x.YAML", "ABC-_dev_x.yaml", "ABC-12__x.yaml",
        "ABC-12_dev_x\ny.yaml", "ABC-12_dev_x.yaml ",
        "\xc3\x84"
        "BC-12_dev_x.yaml",
        "ABC-\xd9\xa1_dev_x.yaml", "ABC-12_d\xc3\xa9v_x.yaml", "ABC-12_dev_x.yaml\n", ""}) {
    try {
      parse_name(name);
      ADD_FAILURE() << "accepted " << name;
    } catch (const InvalidRequestFileError& error) {
      // A line feed or a terminal control in a name never reaches the log raw.
      EXPECT_EQ(std::string(error.what()),
                "Invalid filename format: " + printable(name) +
                    ". Expected format: TICKET_ENVIRONMENT_PROJECT.yaml");
    }
  }
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(RequestFileTest, OnlyTheLastPathComponentIsTheName) {
  testing::make_dir(dir_ / "ABC-1_dev_outer");
  write_file(dir_ / "ABC-1_dev_outer/ABC-2_qa_inner.yaml", "");
  EXPECT_EQ(parse_file(dir_ / "ABC-1_dev_outer/ABC-2_qa_inner.yaml"),
            (OnboardingRequest{"ABC-2", "qa", "inner"}));
}

}  // namespace
}  // namespace quillmere::request_file_test
