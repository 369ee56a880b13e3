#include "quillmere/git_workspace.h"

#include "quillmere/types.h"

namespace quillmere {
bool has_merge_conflicts(std::string_view) { return false; }
void validate_git_repo(const std::string&, const std::string&) { throw OnboardingError("not written yet"); }
void configure_git_identity() {}
void cleanup_repo_state() {}
void validate_branch_name(const std::string&) {}
bool check_branch_exists(const std::string&) { return false; }
void create_branch_and_commit(const Settings&, const std::string&, const std::string&,
                              const std::string&, const std::string&) {
  throw OnboardingError("not written yet");
}
}  // namespace quillmere
