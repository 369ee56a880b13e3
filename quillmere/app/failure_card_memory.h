// Which failures the last failure card told the channel about, so that a
// file that keeps failing is announced once rather than on every scheduled
// run. Kept in the working copy's git directory, beside the run lock: it
// belongs to that working copy, and the service may write there.
#pragma once

#include <string>

#include "quillmere/app/run_record.h"

namespace quillmere {

/// The failed files of `record` with their errors, and the declined ones, as a short digest that is
/// the same for the same failures whatever order the files came in.
std::string failure_fingerprint(const RunRecord& record);

class FailureCardMemory {
 public:
  /// The memory of the working copy whose git directory is `git_dir`; with an
  /// empty one nothing is remembered, and every card is new.
  explicit FailureCardMemory(const std::string& git_dir);

  /// True when the last card reported exactly these failures.
  bool repeats(const std::string& fingerprint) const;
  /// After a card: these failures are known to the channel. A memory that
  /// cannot be written is a WARNING; the next run then sends the card again.
  void remember(const std::string& fingerprint) const;
  /// After a clean run or a fatal error's card: the next failure is news.
  void forget() const;

 private:
  std::string path_;
};

}  // namespace quillmere
