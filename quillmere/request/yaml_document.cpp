#include "quillmere/request/yaml_document.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>

#include "quillmere/util/text.h"

namespace quillmere {

namespace {

constexpr std::string_view kStandardTagPrefix = "tag:yaml.org,2002:";

// A request is a handful of keys; a document of more nodes than this is not
// read at all, so that a large file cannot make the loader's tree (some
// hundred bytes a node) grow past the run's memory budget.
constexpr size_t kMaxNodes = 4000;

// --- The file's text -----------------------------------------------------------

// Characters a YAML stream may hold: tab, line breaks, printable ASCII, NEL
// and the printable ranges above.
bool is_printable(char32_t c) {
  return c == 0x09 || c == 0x0A || c == 0x0D || (c >= 0x20 && c <= 0x7E) || c == 0x85 ||
         (c >= 0xA0 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// A request file is UTF-8 text; anything else (a stray Latin-1 byte, a NUL, a
// control character) anywhere in the file rejects the whole content.
void check_characters(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t code_point = 0;
    const size_t length = decode_utf8(text, pos, code_point);
    if (length == 0) throw std::runtime_error("invalid UTF-8 at byte " + std::to_string(pos));
    if (!is_printable(code_point))
      throw std::runtime_error("unacceptable character at byte " + std::to_string(pos));
    pos += length;
  }
}

// yaml-cpp has no public node identity; a node's tag lives in its own data,
// which aliases share, so the tag's address identifies the node.
const void* identity(const YAML::Node& node) { return &node.Tag(); }

[[noreturn]] void reject_tag(const std::string& tag) {
  throw std::runtime_error("unsupported tag " + tag);
}

// "str" for "tag:yaml.org,2002:str"; any tag outside the standard set fails.
std::string_view standard_type(const std::string& tag) {
  if (!tag.starts_with(kStandardTagPrefix)) reject_tag(tag);
  return std::string_view(tag).substr(kStandardTagPrefix.size());
}

bool is_collection_type(std::string_view type) {
  return type == "map" || type == "set" || type == "seq" || type == "omap" || type == "pairs";
}

std::optional<ScalarKind> scalar_kind_of_type(std::string_view type) {
  static constexpr std::pair<std::string_view, ScalarKind> kKinds[] = {
      {"null", ScalarKind::Null},
      {"bool", ScalarKind::Boolean},
      {"int", ScalarKind::Integer},
      {"float", ScalarKind::Float},
      {"timestamp", ScalarKind::Timestamp},
      {"binary", ScalarKind::Binary},
      {"str", ScalarKind::Text},
      {"merge", ScalarKind::Merge},
      {"value", ScalarKind::Value}};
  for (const auto& [name, kind] : kKinds)
    if (name == type) return kind;
  return std::nullopt;
}

ScalarKind scalar_kind_for_tag(const std::string& tag) {
  const std::string_view type = standard_type(tag);
  if (const std::optional<ScalarKind> kind = scalar_kind_of_type(type)) return *kind;
  if (!is_collection_type(type)) reject_tag(tag);
  throw std::runtime_error("tag " + tag + " does not fit a scalar");
}

bool is_scalar(const YAML::Node& node) { return node.IsScalar() || node.IsNull(); }

// The map key "<<", plain or tagged !!merge.
bool is_merge_key(const YAML::Node& key) {
  return key.IsScalar() && type_scalar(key).kind == ScalarKind::Merge;
}

// A value as the log shows it: scalars as written, lists and maps in flow
// style. A list or map inside itself shows as "...", and so does whatever
// follows once the text is long, so that aliases cannot blow up the line.
void render(const YAML::Node& node, std::vector<const void*>& open, std::string& text) {
  constexpr size_t kLongText = 1000;
  if (text.size() > kLongText) {
    if (!text.ends_with("...")) text += "...";
    return;
  }
  if (node.IsNull()) return void(text += "null");
  if (node.IsScalar()) return void(text += node.Scalar());
  if (std::find(open.begin(), open.end(), identity(node)) != open.end()) return void(text += "...");
  open.push_back(identity(node));
  text += node.IsMap() ? "{" : "[";
  for (auto it = node.begin(); it != node.end(); ++it) {
    if (it != node.begin()) text += ", ";
    if (node.IsMap()) {
      render(it->first, open, text);
      text += ": ";
      render(it->second, open, text);
    } else {
      render(*it, open, text);
    }
  }
  open.pop_back();
  text += node.IsMap() ? "}" : "]";
}

// Aliases let lists, maps and merges nest without end in a flat text; past
// about the depth yaml-cpp allows for written nesting the document is
// refused, before the recursion overflows the stack.
constexpr size_t kMaxDepth = 500;

class Descent {
 public:
  explicit Descent(size_t& depth) : depth_(depth) {
    if (depth_ >= kMaxDepth) throw std::runtime_error("the document nests too deeply");
    ++depth_;
  }
  ~Descent() { --depth_; }
  Descent(const Descent&) = delete;
  Descent& operator=(const Descent&) = delete;

 private:
  size_t& depth_;
};

// Counts the nodes of the stream without building them: yaml-cpp's event
// parser keeps only what the current event needs.
class NodeCounter : public YAML::EventHandler {
 public:
  void OnDocumentStart(const YAML::Mark&) override {}
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark&, YAML::anchor_t) override { count(); }
  void OnAlias(const YAML::Mark&, YAML::anchor_t) override { count(); }
  void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t,
                const std::string&) override {
    count();
  }
  void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                       YAML::EmitterStyle::value) override {
    count();
  }
  void OnSequenceEnd() override {}
  void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                  YAML::EmitterStyle::value) override {
    count();
  }
  void OnMapEnd() override {}

 private:
  void count() {
    if (++nodes_ > kMaxNodes)
      throw std::runtime_error("the document holds more than " + std::to_string(kMaxNodes) +
                               " nodes");
  }
  size_t nodes_ = 0;
};

// The number of documents in the stream (stopping at the second) after
// checking that none holds more nodes than a request can sensibly have.
// Counting stops at the second document because yaml-cpp's LoadAll never
// ends on some malformed streams (a lone ","): its parser reports an empty
// document there without moving on.
int count_documents(const std::string& text) {
  // yaml-cpp queues every token of a flow collection ("[a, b, ...]") before
  // it emits the first event, a few hundred bytes each: count what can start
  // a flow item first (quoted or not: a count too high only means the
  // content is not read).
  const size_t flow_marks = static_cast<size_t>(std::count_if(
      text.begin(), text.end(), [](char c) { return c == ',' || c == '[' || c == '{'; }));
  if (flow_marks > kMaxNodes)
    throw std::runtime_error("the document holds more than " + std::to_string(kMaxNodes) +
                             " flow items");
  std::istringstream stream(text);
  YAML::Parser parser(stream);
  NodeCounter counter;
  int documents = 0;
  while (documents < 2 && parser.HandleNextDocument(counter)) ++documents;
  return documents;
}

}  // namespace

// The file's one document; a null node when the stream holds none.
YAML::Node load_single_document(std::string_view raw) {
  check_characters(raw);
  const std::string text = normalise_line_endings(raw);
  const int documents = count_documents(text);
  if (documents > 1)
    throw std::runtime_error("expected a single document in the stream but found more");
  return documents == 0 ? YAML::Node() : YAML::Load(text);
}

// --- Typing nodes ----------------------------------------------------------------

ResolvedScalar type_scalar(const YAML::Node& node) {
  const std::string& tag = node.Tag();
  // yaml-cpp itself turns the plain forms of null (~, null, empty) into null nodes.
  if (node.IsNull() && (tag.empty() || tag == "?")) return {ScalarKind::Null, false};
  if (tag == "?") return resolve_plain_scalar(node.Scalar());
  // Quoted scalars are always text.
  if (tag == "!") return construct_scalar(ScalarKind::Text, node.Scalar());
  return construct_scalar(scalar_kind_for_tag(tag), node.Scalar());
}

Collection collection_kind(const YAML::Node& node) {
  const std::string& tag = node.Tag();
  const bool map = node.IsMap();
  if (tag.empty() || tag == "?" || tag == "!") return map ? Collection::Map : Collection::List;
  const std::string_view type = standard_type(tag);
  if (map && type == "map") return Collection::Map;
  if (map && type == "set") return Collection::Set;
  if (!map && type == "seq") return Collection::List;
  if (!map && (type == "omap" || type == "pairs")) return Collection::Pairs;
  if (!is_collection_type(type) && !scalar_kind_of_type(type)) reject_tag(tag);
  throw std::runtime_error("tag " + tag + (map ? " does not fit a map" : " does not fit a list"));
}

// Throws for anything that cannot be built anywhere in the document: an
// unknown tag, a value its tag cannot hold, a list or map as a key, a
// broken merge.
void DocumentReader::check(const YAML::Node& node) {
  if (is_scalar(node)) {
    const ScalarKind kind = type_scalar(node).kind;
    if (kind == ScalarKind::Merge || kind == ScalarKind::Value)
      throw std::runtime_error("'" + node.Scalar() + "' is only meaningful as a key");
    return;
  }
  if (!checked_.insert(identity(node)).second) return;  // aliases may form cycles
  const Descent descent(depth_);
  switch (collection_kind(node)) {
    case Collection::List:
      for (const YAML::Node& element : node) check(element);
      return;
    case Collection::Pairs:
      for (const YAML::Node& element : node) check_pair(element);
      return;
    case Collection::Map:
    case Collection::Set:
      for (const auto& [key, value] : entries(node)) {
        if (!is_scalar(key)) throw std::runtime_error("a list or map cannot be a key");
        DocumentReader::check(key);
        DocumentReader::check(value);
      }
      return;
  }
}

// A map's pairs with merges applied: merged pairs first (of a list of
// maps, the earlier map winning), then the map's own, so that the last
// pair of a key is the one that counts.
const YamlEntries& DocumentReader::entries(const YAML::Node& map) {
  if (const auto known = flattened_.find(identity(map)); known != flattened_.end())
    return known->second;
  if (std::find(merging_.begin(), merging_.end(), identity(map)) != merging_.end())
    throw std::runtime_error("a map cannot merge itself");
  if (merging_.size() >= kMaxDepth) throw std::runtime_error("merges nest too deeply");
  merging_.push_back(identity(map));
  YamlEntries merged;
  YamlEntries own;
  for (auto it = map.begin(); it != map.end(); ++it) {
    if (is_merge_key(it->first))
      DocumentReader::append_merge(it->second, merged);
    else
      own.emplace_back(it->first, it->second);
  }
  merging_.pop_back();
  merged.insert(merged.end(), own.begin(), own.end());
  return flattened_[identity(map)] = without_repeated_keys(std::move(merged));
}

// Counts as present: not null, false, zero, empty text, list or map.
bool DocumentReader::present(const YAML::Node& node) {
  if (is_scalar(node)) return type_scalar(node).truthy;
  return node.IsMap() ? !entries(node).empty() : node.size() > 0;
}

// The value of `key`, or of `fallback` when that of `key` is absent.
std::optional<YAML::Node> DocumentReader::field(const YamlEntries& map, std::string_view key,
                                                std::string_view fallback) {
  std::optional<YAML::Node> value = lookup(map, key);
  if (!fallback.empty() && !(value && present(*value))) value = lookup(map, fallback);
  if (value && present(*value)) return value;
  return std::nullopt;
}

void DocumentReader::check_pair(const YAML::Node& element) {
  if (!element.IsMap() || element.size() != 1)
    throw std::runtime_error("ordered pairs need maps of one pair each");
  for (auto it = element.begin(); it != element.end(); ++it) {
    DocumentReader::check(it->first);
    DocumentReader::check(it->second);
  }
}

void DocumentReader::append_merge(const YAML::Node& value, YamlEntries& merged) {
  if (value.IsMap()) {
    const YamlEntries& pairs = entries(value);
    merged.insert(merged.end(), pairs.begin(), pairs.end());
    return;
  }
  if (!value.IsSequence()) throw std::runtime_error("a merge needs a map or a list of maps");
  std::vector<YamlEntries> groups;
  for (const YAML::Node& element : value) {
    if (!element.IsMap()) throw std::runtime_error("a merge list may hold only maps");
    groups.push_back(entries(element));
  }
  for (auto group = groups.rbegin(); group != groups.rend(); ++group)
    merged.insert(merged.end(), group->begin(), group->end());
}

// The last value stored under the text key `name`.
std::optional<YAML::Node> DocumentReader::lookup(const YamlEntries& map, std::string_view name) {
  std::optional<YAML::Node> found;
  for (const auto& [key, value] : map) {
    if (!key.IsScalar()) continue;
    const ScalarKind kind = type_scalar(key).kind;
    // A key "=" is the text "=".
    if ((kind == ScalarKind::Text || kind == ScalarKind::Value) && key.Scalar() == name)
      found = value;
  }
  return found;
}

// The same map merged many times over brings the same key nodes each
// time; only their last pairs count, and keeping just those stops nested
// merges from multiplying the pairs.
YamlEntries DocumentReader::without_repeated_keys(YamlEntries pairs) {
  std::set<const void*> seen;
  YamlEntries kept;
  for (auto pair = pairs.rbegin(); pair != pairs.rend(); ++pair)
    if (seen.insert(identity(pair->first)).second) kept.push_back(*pair);
  return YamlEntries(kept.rbegin(), kept.rend());
}

std::string rendered(const YAML::Node& node) {
  std::vector<const void*> open;
  std::string text;
  render(node, open, text);
  return text;
}

}  // namespace quillmere
