// Reading a request file's YAML document the way the standard YAML 1.1
// constructors build it: one document, every node typed by its tag or form,
// merge keys applied, anything outside the standard types refused.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include "quillmere/request/yaml_scalar.h"

namespace quillmere {

using YamlEntry = std::pair<YAML::Node, YAML::Node>;
using YamlEntries = std::vector<YamlEntry>;

/// The stream's one document; a null node when it holds none. Throws
/// std::runtime_error for text that is not UTF-8 or holds control
/// characters, malformed YAML, several documents, or more nodes than a
/// request can sensibly hold.
YAML::Node load_single_document(std::string_view raw);

/// A scalar node typed: by its explicit tag, as text when quoted, else by
/// its plain form. Throws for a tag outside the standard set.
ResolvedScalar type_scalar(const YAML::Node& node);

enum class Collection { List, Pairs, Map, Set };

/// What a list or map node is, by its tag.
Collection collection_kind(const YAML::Node& node);

/// A value as the log shows it: scalars as written, lists and maps in flow
/// style, cut short when long or self-containing.
std::string rendered(const YAML::Node& node);

/// Reads one loaded document; remembers what it has checked and flattened,
/// so aliases are handled once.
class DocumentReader {
 public:
  /// Throws for anything that cannot be built anywhere in the document: an
  /// unknown tag, a value its tag cannot hold, a list or map as a key, a
  /// broken merge.
  void check(const YAML::Node& node);

  /// A map's pairs with merges applied, a later key overriding an earlier one.
  const YamlEntries& entries(const YAML::Node& map);

  /// Counts as present: not null, false, zero, empty text, list or map.
  bool present(const YAML::Node& node);

  /// The value of `key`, or of `fallback` when that of `key` is absent.
  std::optional<YAML::Node> field(const YamlEntries& map, std::string_view key,
                                  std::string_view fallback = {});

 private:
  void check_pair(const YAML::Node& element);
  void append_merge(const YAML::Node& value, YamlEntries& merged);
  static std::optional<YAML::Node> lookup(const YamlEntries& map, std::string_view name);
  static YamlEntries without_repeated_keys(YamlEntries pairs);

  std::set<const void*> checked_;
  std::vector<const void*> merging_;
  std::map<const void*, YamlEntries> flattened_;
  size_t depth_ = 0;  ///< nesting of check() now
};

}  // namespace quillmere
