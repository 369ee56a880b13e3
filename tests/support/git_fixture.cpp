#include "tests/support/git_fixture.h"

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::testing {

namespace {
// Fixed identity for the fixture's own commits; the tool sets its own.
const std::string kSeedIdentity = "-c user.name=Fixture -c user.email=fixture@example.com ";
}  // namespace

GitRemoteFixture::GitRemoteFixture(const std::string& root,
                                   const std::vector<std::string>& branches)
    : root_(root), remote_(root + "/remote.git"), work_(root + "/work") {
  // One shell and one push for the whole set-up: every git start costs,
  // and this runs before nearly every integration test.
  std::string refspecs;
  for (const auto& branch : branches) refspecs += " HEAD:refs/heads/" + branch;
  make_dir(root + "/seed");
  write_file(root + "/seed/README.md", "Configuration repository\n");
  sh("git init -q --bare -b " + branches.front() + " remote.git && git init -q -b " +
         branches.front() + " seed && cd seed && git add README.md && git " + kSeedIdentity +
         "commit -q -m 'Initial commit' && git push -q ../remote.git" + refspecs +
         " && cd .. && rm -rf seed && git clone -q remote.git work && cd work && git checkout -q " +
         branches.front(),
     root);
}

std::string GitRemoteFixture::git(const std::string& args, const std::string& dir) const {
  return sh("git " + args, dir.empty() ? work_ : dir);
}

std::string GitRemoteFixture::remote_git(const std::string& args) const {
  return sh("git " + args, remote_);
}

bool GitRemoteFixture::remote_has_branch(const std::string& branch) const {
  return !remote_git("for-each-ref --format='%(refname)' refs/heads/" + branch).empty();
}

bool GitRemoteFixture::local_has_branch(const std::string& branch) const {
  return !git("for-each-ref --format='%(refname)' refs/heads/" + branch).empty();
}

std::vector<std::string> GitRemoteFixture::remote_tree(const std::string& branch) const {
  return split_lines(remote_git("ls-tree --name-only refs/heads/" + branch));
}

std::string GitRemoteFixture::remote_commit_message(const std::string& branch) const {
  return remote_git("log -1 --format=%B refs/heads/" + branch);
}

std::string GitRemoteFixture::remote_committer(const std::string& branch) const {
  return remote_git("log -1 '--format=%cn <%ce>' refs/heads/" + branch);
}

std::string GitRemoteFixture::remote_file(const std::string& branch,
                                          const std::string& path) const {
  return remote_git("show 'refs/heads/" + branch + ":" + path + "'");
}

}  // namespace quillmere::testing
