#include "quillmere/app/failure_card_memory.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

#include "quillmere/util/atomic_file.h"
#include "quillmere/util/logging.h"
#include "quillmere/util/paths.h"

namespace quillmere {

namespace {

constexpr const char* kMemoryFile = "quillmere.last-failure-card";

// FNV-1a: stable across builds and machines, unlike std::hash.
std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ULL;
  }
  return hash;
}

}  // namespace

std::string failure_fingerprint(const RunRecord& record) {
  std::vector<std::string> failures;
  for (const FileResult& result : record.files()) {
    // A NUL cannot occur in a name, a shown error or a URL: no two lists join
    // alike. A newly declined file is news too: the card lists it.
    if (result.outcome == FileOutcome::Failed)
      failures.push_back(result.file + '\0' + result.error.value_or("") + '\0');
    else if (result.outcome == FileOutcome::Declined)
      failures.push_back(result.file + '\0' + "declined" + '\0' +
                         (result.merge_request ? result.merge_request->web_url : "") + '\0');
  }
  std::sort(failures.begin(), failures.end());
  std::string joined;
  for (const std::string& failure : failures) joined += failure;
  char digest[24];
  std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(fnv1a(joined)));
  return std::to_string(failures.size()) + ":" + digest;
}

FailureCardMemory::FailureCardMemory(const std::string& git_dir)
    : path_(git_dir.empty() ? std::string() : join_path(git_dir, kMemoryFile)) {}

bool FailureCardMemory::repeats(const std::string& fingerprint) const {
  if (path_.empty()) return false;
  std::ifstream file(path_);
  std::string remembered;
  return std::getline(file, remembered) && remembered == fingerprint;
}

void FailureCardMemory::remember(const std::string& fingerprint) const {
  if (path_.empty()) return;
  try {
    write_file_atomically(path_, fingerprint + "\n");
  } catch (const std::exception& failure) {
    logger().warning(std::string("⚠️ Could not remember the failure card: ") + failure.what());
  }
}

void FailureCardMemory::forget() const {
  if (!path_.empty()) ::unlink(path_.c_str());
}

}  // namespace quillmere
