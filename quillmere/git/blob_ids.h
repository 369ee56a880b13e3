// Blob ids instead of contents: which object a name stands for, and which
// blob git would make of a file committed in the root of a tree (after that
// tree's .gitattributes and the configuration, core.autocrlf, core.eol and
// filters, have had their say). Each question is one git process for many
// names and files, and no answer holds a file's content.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillmere/util/command_runner.h"
#include "quillmere/util/scratch_dir.h"

namespace quillmere {

/// True for a full object id, SHA-1 or SHA-256, as git prints it.
bool is_object_id(std::string_view text);

/// What "git cat-file --batch-check" says of one object name; an empty id
/// when the name stands for nothing.
struct ObjectFacts {
  std::string id;
  std::string type;
  std::uint64_t size = 0;
};

/// One "git cat-file --batch-check" in the current directory for every name
/// of `names` ("REV:PATH", no line break); the facts in the same order.
/// Nullopt, with the reason in `failure`, when git could not answer.
std::optional<std::vector<ObjectFacts>> object_facts(const ChildSetup& children,
                                                     const std::vector<std::string>& names,
                                                     std::string& failure);

/// The largest .gitattributes that is taken into account here: past it the
/// files of that tree are not hashed with filters (their stored id is empty).
inline constexpr std::uint64_t kMaxAttributesBytes = std::uint64_t{1024} * 1024;

/// Files hashed as git would store them. Each file is written to a scratch
/// directory when it is added, so the caller holds at most one at a time;
/// beside it lies the .gitattributes of the tree it would be committed in.
class StoredBlobs {
 public:
  /// `git_dir`: the git directory of the repository whose configuration,
  /// info/attributes and object format apply; git is started as `children`
  /// says; the scratch directory lies in `temp_dir`.
  StoredBlobs(const ChildSetup& children, std::string git_dir, const std::string& temp_dir);

  /// Queues the file `name` holding `content` as committed in the root of a
  /// tree whose root .gitattributes is `attributes` (facts with an empty id:
  /// it has none). Returns its index.
  std::size_t add(const std::string& name, const ObjectFacts& attributes, std::string_view content);

  /// The blob "git add" would make of each queued file, in the order added:
  /// one "git hash-object --stdin-paths" per distinct .gitattributes. Empty
  /// where git could not say.
  std::vector<std::string> stored_ids() const;

  /// The blob of the bytes as they are (no attribute, no conversion) for
  /// the files of `which`, in that order: one "git hash-object --no-filters
  /// --stdin-paths". Empty where git could not say.
  std::vector<std::string> exact_ids(const std::vector<std::size_t>& which) const;

 private:
  struct Group {
    std::string attributes_id;
    bool filters_known = true;  ///< false when its .gitattributes could not be read
    std::vector<std::string> names;
    std::vector<std::size_t> files;
  };
  struct Queued {
    std::size_t group;
    std::string name;
    bool written = false;
  };

  std::size_t group_for(const std::string& name, const ObjectFacts& attributes);

  const ChildSetup& children_;
  std::string git_dir_;
  ScratchDir scratch_;
  std::vector<Group> groups_;
  std::vector<Queued> files_;
};

}  // namespace quillmere
