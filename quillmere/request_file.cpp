#include "quillmere/request_file.h"

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillmere/logging.h"
#include "quillmere/settings.h"
#include "quillmere/text.h"
#include "quillmere/yaml_scalar.h"

namespace quillmere {

namespace {

constexpr std::string_view kStandardTagPrefix = "tag:yaml.org,2002:";

using Entry = std::pair<YAML::Node, YAML::Node>;
using Entries = std::vector<Entry>;

std::string ascii_lower(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lowered;
}

// --- The file's text -----------------------------------------------------------

// The whole file; the stream is closed again before the text is parsed.
std::string read_request_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  std::string content;
  char buffer[8192];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) content.append(buffer, in.gcount());
  // Reading a directory, or an I/O error, ends in a bad stream, not at end.
  if (in.bad()) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
  return content;
}

// Length of the UTF-8 sequence at `pos` and its code point; 0 when the bytes
// are not well-formed UTF-8 (overlong forms and surrogates included).
size_t decode_utf8(std::string_view text, size_t pos, char32_t& code_point) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    code_point = lead;
    return 1;
  }
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
    code_point = (code_point << 6) | (next & 0x3F);
  }
  return length;
}

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

// Parses and forgets; only the number of documents is wanted.
class IgnoredEvents : public YAML::EventHandler {
 public:
  void OnDocumentStart(const YAML::Mark&) override {}
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark&, YAML::anchor_t) override {}
  void OnAlias(const YAML::Mark&, YAML::anchor_t) override {}
  void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t,
                const std::string&) override {}
  void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                       YAML::EmitterStyle::value) override {}
  void OnSequenceEnd() override {}
  void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                  YAML::EmitterStyle::value) override {}
  void OnMapEnd() override {}
};

// 0, 1 or 2 for two or more. Counting stops at the second document because
// yaml-cpp's LoadAll never ends on some malformed streams (a lone ","): its
// parser reports an empty document there without moving on, and the list of
// documents grows until memory runs out.
int count_documents(const std::string& text) {
  std::istringstream stream(text);
  YAML::Parser parser(stream);
  IgnoredEvents ignored;
  int documents = 0;
  while (documents < 2 && parser.HandleNextDocument(ignored)) ++documents;
  return documents;
}

// The file's one document; a null node when the stream holds none.
YAML::Node load_single_document(const std::string& path) {
  const std::string raw = read_request_file(path);
  check_characters(raw);
  const std::string text = normalise_line_endings(raw);
  const int documents = count_documents(text);
  if (documents > 1)
    throw std::runtime_error("expected a single document in the stream but found more");
  return documents == 0 ? YAML::Node() : YAML::Load(text);
}

// --- Typing nodes ----------------------------------------------------------------

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

ResolvedScalar type_scalar(const YAML::Node& node) {
  const std::string& tag = node.Tag();
  // yaml-cpp itself turns the plain forms of null (~, null, empty) into null nodes.
  if (node.IsNull() && (tag.empty() || tag == "?")) return {ScalarKind::Null, false};
  if (tag == "?") return resolve_plain_scalar(node.Scalar());
  // Quoted scalars are always text.
  if (tag == "!") return construct_scalar(ScalarKind::Text, node.Scalar());
  return construct_scalar(scalar_kind_for_tag(tag), node.Scalar());
}

enum class Collection { List, Pairs, Map, Set };

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

// The map key "<<", plain or tagged !!merge.
bool is_merge_key(const YAML::Node& key) {
  return key.IsScalar() && type_scalar(key).kind == ScalarKind::Merge;
}

// Reads a loaded document the way the standard constructors build it:
// every node typed and checked, merge keys applied, a later key overriding
// an earlier one.
class DocumentReader {
 public:
  // Throws for anything that cannot be built anywhere in the document: an
  // unknown tag, a value its tag cannot hold, a list or map as a key, a
  // broken merge.
  void check(const YAML::Node& node) {
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
          check(key);
          check(value);
        }
        return;
    }
  }

  // A map's pairs with merges applied: merged pairs first (of a list of
  // maps, the earlier map winning), then the map's own, so that the last
  // pair of a key is the one that counts.
  const Entries& entries(const YAML::Node& map) {
    if (const auto known = flattened_.find(identity(map)); known != flattened_.end())
      return known->second;
    if (std::find(merging_.begin(), merging_.end(), identity(map)) != merging_.end())
      throw std::runtime_error("a map cannot merge itself");
    if (merging_.size() >= kMaxDepth) throw std::runtime_error("merges nest too deeply");
    merging_.push_back(identity(map));
    Entries merged;
    Entries own;
    for (auto it = map.begin(); it != map.end(); ++it) {
      if (is_merge_key(it->first))
        append_merge(it->second, merged);
      else
        own.emplace_back(it->first, it->second);
    }
    merging_.pop_back();
    merged.insert(merged.end(), own.begin(), own.end());
    return flattened_[identity(map)] = without_repeated_keys(std::move(merged));
  }

  // Counts as present: not null, false, zero, empty text, list or map.
  bool present(const YAML::Node& node) {
    if (is_scalar(node)) return type_scalar(node).truthy;
    return node.IsMap() ? !entries(node).empty() : node.size() > 0;
  }

  // The value of `key`, or of `fallback` when that of `key` is absent.
  std::optional<YAML::Node> field(const Entries& map, std::string_view key,
                                  std::string_view fallback = {}) {
    std::optional<YAML::Node> value = lookup(map, key);
    if (!fallback.empty() && !(value && present(*value))) value = lookup(map, fallback);
    if (value && present(*value)) return value;
    return std::nullopt;
  }

 private:
  // Aliases let lists, maps and merges nest without end in a flat text;
  // past about the depth yaml-cpp allows for written nesting the document is
  // refused, before the recursion overflows the stack.
  static constexpr size_t kMaxDepth = 500;

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

  void check_pair(const YAML::Node& element) {
    if (!element.IsMap() || element.size() != 1)
      throw std::runtime_error("ordered pairs need maps of one pair each");
    for (auto it = element.begin(); it != element.end(); ++it) {
      check(it->first);
      check(it->second);
    }
  }

  void append_merge(const YAML::Node& value, Entries& merged) {
    if (value.IsMap()) {
      const Entries& pairs = entries(value);
      merged.insert(merged.end(), pairs.begin(), pairs.end());
      return;
    }
    if (!value.IsSequence()) throw std::runtime_error("a merge needs a map or a list of maps");
    std::vector<Entries> groups;
    for (const YAML::Node& element : value) {
      if (!element.IsMap()) throw std::runtime_error("a merge list may hold only maps");
      groups.push_back(entries(element));
    }
    for (auto group = groups.rbegin(); group != groups.rend(); ++group)
      merged.insert(merged.end(), group->begin(), group->end());
  }

  // The last value stored under the text key `name`.
  static std::optional<YAML::Node> lookup(const Entries& map, std::string_view name) {
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
  static Entries without_repeated_keys(Entries pairs) {
    std::set<const void*> seen;
    Entries kept;
    for (auto pair = pairs.rbegin(); pair != pairs.rend(); ++pair)
      if (seen.insert(identity(pair->first)).second) kept.push_back(*pair);
    return Entries(kept.rbegin(), kept.rend());
  }

  std::set<const void*> checked_;
  std::vector<const void*> merging_;
  size_t depth_ = 0;
  std::map<const void*, Entries> flattened_;
};

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

std::string rendered(const YAML::Node& node) {
  std::vector<const void*> open;
  std::string text;
  render(node, open, text);
  return text;
}

// A ticket or project typed as a number, boolean or date keeps the text it
// is written with ("0123" stays "0123", not 83); a list, map or binary data
// has no such text.
std::string written_text(const YAML::Node& node, std::string_view field) {
  if (!node.IsScalar() || type_scalar(node).kind == ScalarKind::Binary)
    throw std::runtime_error("the " + std::string(field) + " " + rendered(node) + " is not text");
  return node.Scalar();
}

std::string lower_case_environment(const YAML::Node& node) {
  if (!node.IsScalar() || type_scalar(node).kind != ScalarKind::Text)
    throw std::runtime_error("the environment " + rendered(node) + " is not text");
  return ascii_lower(node.Scalar());
}

// The request the YAML content names; nullopt when it leaves a value out.
// Throws when the content cannot be read as a map of standard values.
std::optional<OnboardingRequest> request_from_content(const std::string& file_path) {
  const YAML::Node document = load_single_document(file_path);
  DocumentReader reader;
  reader.check(document);
  if (!reader.present(document)) return std::nullopt;
  if (!document.IsMap() || collection_kind(document) != Collection::Map)
    throw std::runtime_error("the top-level value is not a map");

  const Entries& map = reader.entries(document);
  const auto ticket = reader.field(map, "ticket", "jira_ticket");
  const auto environment = reader.field(map, "environment");
  const auto project = reader.field(map, "project", "project_name");
  if (!ticket || !environment || !project) return std::nullopt;  // never mix with the name

  OnboardingRequest request;
  request.ticket = written_text(*ticket, "ticket");
  request.project_name = written_text(*project, "project");
  logger().info("Using data from YAML content: " + request.ticket + ", " + rendered(*environment) +
                ", " + request.project_name);
  // Deliberately after the log line: an environment that is not text is
  // noticed only here, and the file name decides.
  request.environment = lower_case_environment(*environment);
  return request;
}

// --- The file name ----------------------------------------------------------------

bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_letter(char c) { return is_upper(c) || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Matches "TICKET_ENVIRONMENT_PROJECT.yaml", where TICKET is [A-Z]+-[0-9]+,
// ENVIRONMENT is [a-zA-Z]+ and PROJECT is anything but empty or a line feed.
// Neither of the first two can hold an underscore, so the first two
// underscores end them and the project runs up to the final ".yaml".
std::optional<OnboardingRequest> split_file_name(std::string_view name) {
  constexpr std::string_view kExtension = ".yaml";
  size_t pos = 0;
  const auto run = [&](auto pred) {
    const size_t start = pos;
    while (pos < name.size() && pred(name[pos])) ++pos;
    return pos > start;
  };
  const auto eat = [&](char c) {
    if (pos >= name.size() || name[pos] != c) return false;
    ++pos;
    return true;
  };
  if (!run(is_upper) || !eat('-') || !run(is_digit)) return std::nullopt;
  const size_t ticket_end = pos;
  if (!eat('_')) return std::nullopt;
  const size_t environment_start = pos;
  if (!run(is_letter)) return std::nullopt;
  const size_t environment_end = pos;
  if (!eat('_')) return std::nullopt;

  const std::string_view rest = name.substr(pos);
  if (!rest.ends_with(kExtension) || rest.size() == kExtension.size()) return std::nullopt;
  const std::string_view project = rest.substr(0, rest.size() - kExtension.size());
  if (project.find('\n') != std::string_view::npos) return std::nullopt;

  return OnboardingRequest{
      std::string(name.substr(0, ticket_end)),
      std::string(name.substr(environment_start, environment_end - environment_start)),
      std::string(project)};
}

OnboardingRequest request_from_file_name(const std::string& name) {
  std::optional<OnboardingRequest> request = split_file_name(name);
  if (!request)
    throw InvalidRequestFileError("Invalid filename format: " + name +
                                  ". Expected format: TICKET_ENVIRONMENT_PROJECT.yaml");
  logger().info("Parsed from filename: Ticket=" + request->ticket +
                ", Environment=" + request->environment + ", Project=" + request->project_name);
  request->environment = ascii_lower(request->environment);
  return *request;
}

}  // namespace

OnboardingRequest parse_file(const std::string& file_path) {
  const std::string name = last_path_component(file_path);
  try {
    if (std::optional<OnboardingRequest> request = request_from_content(file_path)) return *request;
  } catch (const std::exception& error) {
    // Whatever is wrong with the content, the file name still decides.
    logger().debug("Could not parse YAML from " + name + ": " + error.what());
  }
  return request_from_file_name(name);
}

}  // namespace quillmere
