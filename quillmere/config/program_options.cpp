#include "quillmere/config/program_options.h"

#include <getopt.h>

#include "quillmere/util/text.h"

namespace quillmere {

namespace {

enum LongOnly { kCheck = 256, kEnvFile };

constexpr option kOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"check", no_argument, nullptr, kCheck},
    {"env-file", required_argument, nullptr, kEnvFile},
    {nullptr, 0, nullptr, 0},
};

// The option as the operator typed it, for the error line: getopt has
// already moved past it.
std::string offending_option(int argc, char* const argv[], int next_index) {
  if (optopt != 0 && optopt != kCheck && optopt != kEnvFile && optopt != 'h' && optopt != 'V')
    return std::string("-") + static_cast<char>(optopt);
  const int index = next_index - 1;
  return index > 0 && index < argc ? argv[index] : "?";
}

}  // namespace

ProgramOptions parse_program_options(int argc, char* const argv[]) {
  ProgramOptions options;
  bool help = false;
  bool version = false;
  bool check = false;
  // getopt keeps its state in globals: 0 starts it afresh (also for tests
  // that parse several command lines in one process), and its own messages
  // are replaced by ours.
  optind = 0;
  opterr = 0;
  for (;;) {
    const int option = getopt_long(argc, argv, ":hV", kOptions, nullptr);
    if (option == -1) break;
    switch (option) {
      case 'h':
        help = true;
        break;
      case 'V':
        version = true;
        break;
      case kCheck:
        check = true;
        break;
      case kEnvFile:
        options.env_file = optarg;
        break;
      case ':':
        throw UsageError("option '" + printable(offending_option(argc, argv, optind)) +
                         "' needs a file name");
      default: {
        const std::string shown = printable(offending_option(argc, argv, optind));
        if (shown.starts_with("--") && shown.find('=') != std::string::npos)
          throw UsageError("option '" + shown.substr(0, shown.find('=')) +
                           "' does not take a value");
        throw UsageError("unknown option '" + shown + "'");
      }
    }
  }
  for (int i = optind; i < argc; ++i) options.files.emplace_back(argv[i]);

  if (help) {
    options.mode = ProgramMode::Help;
  } else if (version) {
    options.mode = ProgramMode::Version;
  } else if (check) {
    options.mode = options.files.empty() ? ProgramMode::Check : ProgramMode::Lint;
  } else if (!options.files.empty()) {
    throw UsageError("unexpected argument '" + printable(options.files.front()) +
                     "' (request files are named only with --check)");
  }
  if (options.mode != ProgramMode::Lint) options.files.clear();
  return options;
}

std::string usage_text() {
  return R"(Usage: quillmere [--check [FILE...]]
       quillmere --env-file SETTINGS [--check]
Onboard projects through GitLab merge requests: every request file in YAML_DIR
is committed to a new branch of the working copy at REPO_PATH, pushed, opened
as a merge request and announced in Microsoft Teams.

With no arguments, run the batch. Settings come from the environment and from
the first .env file found in the current directory or above it (only a file of
root or of the user running quillmere, writable by nobody else and not tracked
by git); the log is appended to logs/onboarding.log.

Options:
  --check         dry run: check the settings, the working copy, every request
                  file, GitLab and Teams, and say what a run would do; nothing
                  is changed, posted or logged. Status 0 when all would pass.
  --check FILE... check the named request files only: no settings, no git, no
                  network. Status 1 when any of them would be refused.
  --env-file SETTINGS
                  read the settings from the file SETTINGS (NAME=value lines,
                  as systemd's EnvironmentFile= reads them) instead of looking
                  for .env
  -h, --help      show this help and exit
  -V, --version   show the version and exit

Exit status: 0 when the batch ran (even if files failed, unless
FAILED_FILES_EXIT_STATUS says otherwise), 1 after a fatal error or a failed
check, 2 for a command line that cannot be followed, 128+N when stopped by
signal N. See quillmere(1).
)";
}

std::string version_text() {
  return std::string("quillmere ") + QUILLMERE_VERSION +
         "\nCopyright (C) 2026 quillmere developers\n"
         "License MIT: the MIT licence, in the copyright file of its documentation.\n"
         "This is free software: you are free to change and redistribute it.\n"
         "There is NO WARRANTY, to the extent permitted by law.";
}

}  // namespace quillmere
