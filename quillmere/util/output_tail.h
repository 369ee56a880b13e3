// The end of a stream that may have no end: what a command prints is kept to
// its last bytes (git puts its verdict last), with the count of all of it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillmere {

class OutputTail {
 public:
  /// Keeps at most `limit` bytes, the last ones.
  explicit OutputTail(std::size_t limit) : limit_(limit) {}

  void append(std::string_view bytes);
  /// How many bytes were appended in all.
  std::size_t total_bytes() const { return total_; }
  /// The kept end. When bytes were dropped before it, it starts at the next
  /// character: the cut never leaves half a UTF-8 sequence in front.
  std::string take();

 private:
  std::size_t limit_;
  std::size_t total_ = 0;
  std::string kept_;
};

}  // namespace quillmere
