#include "quillmere/startup.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include "quillmere/driver.h"
#include "quillmere/gitlab_client.h"
#include "quillmere/http_client.h"
#include "quillmere/logging.h"
#include "quillmere/retry.h"
#include "quillmere/settings.h"

namespace quillmere {

namespace {

std::string current_directory() {
  std::string buffer(4096, '\0');
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) return ".";
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(buffer.find('\0'));
  return buffer;
}

}  // namespace

int run_quillmere() {
  // A console that goes away (a closed pipe on standard error) must not end
  // the run: the failed write is left to the logger and the log file keeps
  // every line. Commands started later get the default handling back.
  std::signal(SIGPIPE, SIG_IGN);
  const std::string start_dir = current_directory();
  load_dotenv(start_dir);
  const Settings settings = read_settings(start_dir);

  try {
    setup_logging();
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "quillmere: cannot set up logging: %s\n", failure.what());
    return 1;
  }

  try {
    CurlGlobal curl;
    HttpClient http;
    RemoteContext remote{http, retry_api_call(3, 1)};
    process_yaml_files(settings, remote);
    return 0;
  } catch (const std::exception& failure) {
    logger().error(std::string("Fatal error: ") + failure.what());
    return 1;
  }
}

}  // namespace quillmere
