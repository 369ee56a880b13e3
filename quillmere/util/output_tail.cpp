#include "quillmere/util/output_tail.h"

#include <utility>

namespace quillmere {

namespace {

bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

void OutputTail::append(std::string_view bytes) {
  total_ += bytes.size();
  kept_.append(bytes);
  // Dropped in steps of at least `limit_` bytes, so that each byte is moved
  // a bounded number of times however small the pieces are.
  if (kept_.size() / 2 >= limit_) kept_.erase(0, kept_.size() - limit_);
}

std::string OutputTail::take() {
  if (kept_.size() > limit_) kept_.erase(0, kept_.size() - limit_);
  if (total_ > kept_.size()) {
    // A UTF-8 sequence has at most three bytes after its first.
    std::size_t skip = 0;
    while (skip < 3 && skip < kept_.size() && is_continuation_byte(kept_[skip])) ++skip;
    kept_.erase(0, skip);
  }
  return std::move(kept_);
}

}  // namespace quillmere
