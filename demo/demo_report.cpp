// quillmere-demo-report: what one sandbox run did, for a person to read at a
// glance. Reads the tool's log and the JSON lines the GitLab and Teams
// stand-ins recorded.
//
// Usage:
//   quillmere-demo-report --log FILE --state-dir DIR
//
//   --log FILE        the tool's log (logs/onboarding.log of the run)
//   --state-dir DIR   the stand-ins' state directory, holding
//                     gitlab-requests.jsonl and teams-cards.jsonl
//
// Prints three sections: each request file with its outcome, each merge
// request created (title, URL, reviewers, labels) and each Teams card (title
// and facts). Exit status: 0, or 2 for a bad command line or an unreadable
// input.
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::ordered_json;

struct Outcome {
  std::string file;
  std::string result;  // "onboarded", "failed"
  std::string detail;  // the merge request URL, or the reason
  std::string teams;   // what happened to the card, when anything did
};

[[noreturn]] void fail(const std::string& problem) {
  std::cerr << "quillmere-demo-report: " << problem << "\n"
            << "usage: quillmere-demo-report --log FILE --state-dir DIR\n";
  std::exit(2);
}

// The text after `marker` on `line`, or nothing when the marker is absent.
bool after(std::string_view line, std::string_view marker, std::string& rest) {
  const size_t at = line.find(marker);
  if (at == std::string_view::npos) return false;
  rest = std::string(line.substr(at + marker.size()));
  return true;
}

// The outcome of every request file of the last run in the log. A run starts
// with "Found N YAML file(s)"; each file with "📄 Processing: NAME".
std::vector<Outcome> read_outcomes(const std::string& path) {
  std::ifstream in(path);
  if (!in) fail("cannot read " + path);
  std::vector<Outcome> outcomes;
  std::string line;
  std::string rest;
  while (std::getline(in, line)) {
    if (line.find(" YAML file(s) to process") != std::string::npos) {
      outcomes.clear();
    } else if (after(line, "📄 Processing: ", rest)) {
      outcomes.push_back({rest, "onboarded", "", ""});
    } else if (outcomes.empty()) {
      continue;
    } else if (after(line, "❌ Failed to process ", rest)) {
      const std::string prefix = outcomes.back().file + ": ";
      outcomes.back().result = "failed";
      outcomes.back().detail = rest.rfind(prefix, 0) == 0 ? rest.substr(prefix.size()) : rest;
    } else if (after(line, "🎉 MR Created: ", rest)) {
      outcomes.back().detail = rest;
    } else if (line.find("📣 Teams notification sent") != std::string::npos) {
      outcomes.back().teams = "card sent";
    } else if (after(line, "Teams notification failed: ", rest)) {
      outcomes.back().teams = "card failed: " + rest;
    } else if (line.find("TEAMS_WEBHOOK_URL not set") != std::string::npos) {
      outcomes.back().teams = "no card (TEAMS_WEBHOOK_URL not set)";
    }
  }
  return outcomes;
}

// The JSON records of a JSON-lines file; a missing file holds none.
std::vector<ordered_json> read_records(const std::string& path) {
  std::vector<ordered_json> records;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    ordered_json record = ordered_json::parse(line, nullptr, false);
    if (record.is_object()) records.push_back(std::move(record));
  }
  return records;
}

std::string text_of(const ordered_json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "";
  return value.dump();
}

std::string join(const std::vector<std::string>& items, std::string_view separator) {
  std::string joined;
  for (const std::string& item : items) {
    if (!joined.empty()) joined += separator;
    joined += item;
  }
  return joined;
}

void print_outcomes(const std::vector<Outcome>& outcomes) {
  std::cout << "Request files (" << outcomes.size() << "):\n";
  if (outcomes.empty()) std::cout << "  (none processed)\n";
  for (const Outcome& outcome : outcomes) {
    std::cout << "  " << outcome.file << "\n      " << outcome.result;
    if (!outcome.detail.empty()) std::cout << ": " << outcome.detail;
    if (!outcome.teams.empty()) std::cout << " (" << outcome.teams << ")";
    std::cout << "\n";
  }
}

void print_merge_requests(const std::vector<ordered_json>& requests) {
  std::vector<ordered_json> created;
  for (const ordered_json& request : requests) {
    if (request.value("method", "") != "POST" || request.value("status", 0) != 201) continue;
    const ordered_json mr =
        ordered_json::parse(request.value("response", std::string()), nullptr, false);
    if (mr.is_object()) created.push_back(mr);
  }
  std::cout << "\nMerge requests (" << created.size() << "):\n";
  if (created.empty()) std::cout << "  (none)\n";
  for (const ordered_json& mr : created) {
    std::vector<std::string> reviewers;
    for (const ordered_json& user : mr.value("reviewers", ordered_json::array()))
      if (user.is_object()) reviewers.push_back(text_of(user.value("username", ordered_json())));
    std::vector<std::string> labels;
    for (const ordered_json& label : mr.value("labels", ordered_json::array()))
      labels.push_back(text_of(label));
    std::cout << "  !" << text_of(mr.value("iid", ordered_json())) << " "
              << text_of(mr.value("title", ordered_json())) << "\n"
              << "      " << text_of(mr.value("source_branch", ordered_json())) << " -> "
              << text_of(mr.value("target_branch", ordered_json())) << "\n"
              << "      URL:       " << text_of(mr.value("web_url", ordered_json())) << "\n"
              << "      reviewers: " << (reviewers.empty() ? "none" : join(reviewers, ", ")) << "\n"
              << "      labels:    " << join(labels, ", ") << "\n";
  }
}

// A MessageCard as it is; an Adaptive Card message as the title and facts
// of its first card.
void print_card(const ordered_json& card) {
  if (card.value("type", ordered_json()) == "message") {
    const ordered_json attachments = card.value("attachments", ordered_json::array());
    if (!attachments.is_array() || attachments.empty() || !attachments[0].is_object()) return;
    const ordered_json content = attachments[0].value("content", ordered_json::object());
    const ordered_json body =
        content.is_object() ? content.value("body", ordered_json::array()) : ordered_json::array();
    std::cout << "  [Adaptive Card " << text_of(content.value("version", ordered_json())) << "] ";
    for (const ordered_json& element : body) {
      if (!element.is_object()) continue;
      if (element.value("type", ordered_json()) == "TextBlock" &&
          element.value("size", ordered_json()) == "Large")
        std::cout << text_of(element.value("text", ordered_json())) << "\n";
      if (element.value("type", ordered_json()) != "FactSet") continue;
      for (const ordered_json& fact : element.value("facts", ordered_json::array()))
        if (fact.is_object())
          std::cout << "      " << text_of(fact.value("title", ordered_json())) << " "
                    << text_of(fact.value("value", ordered_json())) << "\n";
    }
    return;
  }
  std::cout << "  " << text_of(card.value("title", ordered_json())) << "\n";
  const ordered_json sections = card.value("sections", ordered_json::array());
  if (!sections.is_array() || sections.empty() || !sections[0].is_object()) return;
  for (const ordered_json& fact : sections[0].value("facts", ordered_json::array())) {
    if (!fact.is_object()) continue;
    std::cout << "      " << text_of(fact.value("name", ordered_json())) << " "
              << text_of(fact.value("value", ordered_json())) << "\n";
  }
}

void print_cards(const std::vector<ordered_json>& posts) {
  std::vector<ordered_json> cards;
  for (const ordered_json& post : posts) {
    const ordered_json card = post.value("json", ordered_json());
    if (card.is_object()) cards.push_back(card);
  }
  std::cout << "\nTeams cards (" << cards.size() << "):\n";
  if (cards.empty()) std::cout << "  (none)\n";
  for (const ordered_json& card : cards) print_card(card);
}

}  // namespace

int main(int argc, char** argv) {
  std::string log_file;
  std::string state_dir;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (i + 1 >= argc) fail(flag + " needs a value");
    if (flag == "--log")
      log_file = argv[++i];
    else if (flag == "--state-dir")
      state_dir = argv[++i];
    else
      fail("unknown argument " + flag);
  }
  if (log_file.empty() || state_dir.empty()) fail("--log and --state-dir are required");

  print_outcomes(read_outcomes(log_file));
  print_merge_requests(read_records(state_dir + "/gitlab-requests.jsonl"));
  print_cards(read_records(state_dir + "/teams-cards.jsonl"));
  return 0;
}
