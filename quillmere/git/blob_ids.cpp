#include "quillmere/git/blob_ids.h"

#include <algorithm>

#include "quillmere/util/command_runner.h"
#include "quillmere/util/paths.h"
#include "quillmere/util/text.h"

namespace quillmere {

namespace {

constexpr const char* kAttributesFile = ".gitattributes";

// A name git's --stdin-paths reads as it is: one that begins with a double
// quote would be unquoted, so it is given C-quoted.
std::string stdin_path_line(std::string_view path) {
  if (!path.starts_with('"')) return std::string(path) + "\n";
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"\n";
}

// A name that can lie in the scratch directory as itself, beside the tree's
// .gitattributes, and be read back by git from one line.
bool can_be_hashed(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name != kAttributesFile &&
         name.find_first_of("/\n\r") == std::string_view::npos;
}

// The ids a "--stdin-paths" run printed, one per path; nullopt unless there
// is exactly one well-formed id for each.
std::optional<std::vector<std::string>> printed_ids(const CommandResult& result, size_t count) {
  if (!result.succeeded()) return std::nullopt;
  std::vector<std::string> ids;
  for (std::string_view line : split(result.out, '\n')) {
    if (line.empty()) continue;
    if (!is_object_id(line)) return std::nullopt;
    ids.emplace_back(line);
  }
  if (ids.size() != count) return std::nullopt;
  return ids;
}

}  // namespace

bool is_object_id(std::string_view text) {
  return (text.size() == 40 || text.size() == 64) &&
         std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::optional<std::vector<ObjectFacts>> object_facts(const ChildSetup& children,
                                                     const std::vector<std::string>& names,
                                                     std::string& failure) {
  std::string questions;
  for (const std::string& name : names) questions += name + "\n";
  const CommandResult answer = run_program(
      CommandLine("git", {"cat-file", "--batch-check"}).read_only(), children, true, &questions);
  if (!answer.succeeded()) {
    failure = trim(failure_reason(answer, children));
    return std::nullopt;
  }
  // Per name: "OID TYPE SIZE", or "NAME missing" (also "ambiguous").
  std::vector<ObjectFacts> facts;
  std::string_view rest = answer.out;
  for (const std::string& name : names) {
    const size_t line_end = rest.find('\n');
    if (line_end == std::string_view::npos) break;
    const std::string_view line = rest.substr(0, line_end);
    rest.remove_prefix(line_end + 1);
    ObjectFacts fact;
    if (line != name + " missing" && line != name + " ambiguous") {
      const std::vector<std::string_view> words = split(line, ' ');
      if (words.size() != 3 || !is_object_id(words[0]) || words[2].empty() ||
          words[2].size() > 19 || words[2].find_first_not_of("0123456789") != std::string::npos)
        break;
      fact.id = words[0];
      fact.type = words[1];
      fact.size = std::stoull(std::string(words[2]));
    }
    facts.push_back(std::move(fact));
  }
  if (facts.size() != names.size()) {
    failure = "git cat-file gave an answer that could not be read";
    return std::nullopt;
  }
  return facts;
}

StoredBlobs::StoredBlobs(const ChildSetup& children, std::string git_dir,
                         const std::string& temp_dir)
    : children_(children), git_dir_(std::move(git_dir)), scratch_(temp_dir) {}

size_t StoredBlobs::group_for(const std::string& name, const ObjectFacts& attributes) {
  for (size_t index = 0; index < groups_.size(); ++index) {
    const Group& group = groups_[index];
    if (group.attributes_id == attributes.id &&
        std::find(group.names.begin(), group.names.end(), name) == group.names.end())
      return index;
  }
  Group group;
  group.attributes_id = attributes.id;
  const std::string dir = std::to_string(groups_.size());
  if (!attributes.id.empty()) {
    // Read only when small: what git would take from a huge one is not
    // worth holding, and such a tree's files are simply not hashed here.
    group.filters_known = attributes.type == "blob" && attributes.size <= kMaxAttributesBytes;
    if (group.filters_known) {
      const CommandResult blob =
          run_program(CommandLine("git", {"cat-file", "blob"}).arg(attributes.id), children_, true);
      group.filters_known = blob.succeeded() && blob.out.size() == attributes.size;
      if (group.filters_known) scratch_.write(dir + "/" + kAttributesFile, blob.out);
    }
  }
  groups_.push_back(std::move(group));
  return groups_.size() - 1;
}

size_t StoredBlobs::add(const std::string& name, const ObjectFacts& attributes,
                        std::string_view content) {
  Queued file{0, name};
  if (can_be_hashed(name)) {
    file.group = group_for(name, attributes);
    Group& group = groups_[file.group];
    scratch_.write(std::to_string(file.group) + "/" + name, content);
    group.names.push_back(name);
    group.files.push_back(files_.size());
    file.written = true;
  }
  files_.push_back(std::move(file));
  return files_.size() - 1;
}

std::vector<std::string> StoredBlobs::stored_ids() const {
  std::vector<std::string> ids(files_.size());
  for (size_t index = 0; index < groups_.size(); ++index) {
    const Group& group = groups_[index];
    if (!group.filters_known || group.names.empty()) continue;
    std::string paths;
    for (const std::string& name : group.names) paths += stdin_path_line(name);
    // In the group's own directory as the work tree, so that git finds the
    // tree's .gitattributes at the root and each file under its own name.
    const std::string dir = join_path(scratch_.path(), std::to_string(index));
    const CommandResult hashed = run_program(CommandLine("git", {"-C"})
                                                 .arg(dir)
                                                 .arg("--git-dir=" + git_dir_)
                                                 .arg("--work-tree=.")
                                                 .arg("hash-object")
                                                 .arg("--stdin-paths"),
                                             children_, true, &paths);
    if (const auto printed = printed_ids(hashed, group.names.size()))
      for (size_t i = 0; i < group.files.size(); ++i) ids[group.files[i]] = (*printed)[i];
  }
  return ids;
}

std::vector<std::string> StoredBlobs::exact_ids(const std::vector<size_t>& which) const {
  std::vector<std::string> ids(which.size());
  std::string paths;
  std::vector<size_t> asked;
  for (size_t i = 0; i < which.size(); ++i) {
    const Queued& file = files_.at(which[i]);
    if (!file.written) continue;
    paths += stdin_path_line(std::to_string(file.group) + "/" + file.name);
    asked.push_back(i);
  }
  if (asked.empty()) return ids;
  const CommandResult hashed = run_program(CommandLine("git", {"-C"})
                                               .arg(scratch_.path())
                                               .arg("--git-dir=" + git_dir_)
                                               .arg("hash-object")
                                               .arg("--no-filters")
                                               .arg("--stdin-paths"),
                                           children_, true, &paths);
  if (const auto printed = printed_ids(hashed, asked.size()))
    for (size_t i = 0; i < asked.size(); ++i) ids[asked[i]] = (*printed)[i];
  return ids;
}

}  // namespace quillmere
