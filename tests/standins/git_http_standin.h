// A git server as GitLab is one for git: the smart HTTP protocol over HTTPS,
// each request answered by "git http-backend" for the bare repositories
// under one directory, pushes allowed, connections kept open as a server in
// service keeps them.
#pragma once

#include <memory>
#include <string>

#include "tests/standins/standin_servers.h"

namespace quillmere::standins {

class GitHttpStandin {
 public:
  /// Serves the bare repositories under `root` (an absolute path) on
  /// 127.0.0.1, a free port. Throws std::runtime_error when it cannot start.
  GitHttpStandin(std::string root, const TlsFiles& tls);
  ~GitHttpStandin();
  GitHttpStandin(const GitHttpStandin&) = delete;
  GitHttpStandin& operator=(const GitHttpStandin&) = delete;

  int port() const;
  /// "https://127.0.0.1:PORT"; the repository ROOT/NAME is base_url() + "/NAME".
  std::string base_url() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillmere::standins
